// Tests of the fake itself, through the raw ODBC functions: the rules that
// the tests of the library rely on. Extend these when extending the fake.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_odbc.h"
#include "fake_odbc_test.h"

namespace zel::sql::test {
namespace {

using fake_odbc::Fn;

class FakeSelf : public zel::sql::test::FakeOdbcTest {
protected:
    // An environment, a connected connection and a statement, raw.
    void open() {
        ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_), SQL_SUCCESS);
        ASSERT_EQ(SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION,
                                reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
                  SQL_SUCCESS);
        ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_), SQL_SUCCESS);
        ASSERT_EQ(SQLConnect(dbc_, dsn_, SQL_NTS, nullptr, 0, nullptr, 0), SQL_SUCCESS);
        ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt_), SQL_SUCCESS);
    }
    void close() {
        if (stmt_ != SQL_NULL_HANDLE && fake_odbc::is_live(stmt_)) {
            SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
        }
        if (fake_odbc::is_connected(dbc_)) {
            SQLDisconnect(dbc_);
        }
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
        SQLFreeHandle(SQL_HANDLE_ENV, env_);
    }
    SQLRETURN exec(const char* sql) {
        return SQLExecDirect(stmt_, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql)), SQL_NTS);
    }
    std::string diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
        std::string all;
        for (SQLSMALLINT rec = 1;; ++rec) {
            SQLCHAR state[6] = {};
            SQLINTEGER native = 0;
            SQLCHAR text[256] = {};
            SQLSMALLINT len = 0;
            if (!SQL_SUCCEEDED(
                    SQLGetDiagRec(type, handle, rec, state, &native, text, sizeof(text), &len))) {
                return all;
            }
            all += std::string(reinterpret_cast<char*>(state)) + ":" +
                   reinterpret_cast<char*>(text) + ";";
        }
    }

    SQLHANDLE env_ = SQL_NULL_HANDLE;
    SQLHANDLE dbc_ = SQL_NULL_HANDLE;
    SQLHANDLE stmt_ = SQL_NULL_HANDLE;
    SQLCHAR dsn_[5] = "fake";
};

TEST_F(FakeSelf, HandlesFollowOdbcParentRules) {
    SQLHANDLE env = SQL_NULL_HANDLE;
    SQLHANDLE dbc = SQL_NULL_HANDLE;
    SQLHANDLE stmt = SQL_NULL_HANDLE;
    ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env), SQL_SUCCESS);
    EXPECT_EQ(fake_odbc::describe(env), "env#1");
    // No ODBC version yet: function sequence error.
    EXPECT_EQ(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), SQL_ERROR);
    EXPECT_EQ(dbc, nullptr);
    EXPECT_EQ(diagnostics(SQL_HANDLE_ENV, env),
              "HY010:[fake_odbc]Function sequence error (no SQL_ATTR_ODBC_VERSION);");
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), SQL_SUCCESS);
    // Not connected: no statement.
    EXPECT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt), SQL_ERROR);
    EXPECT_EQ(diagnostics(SQL_HANDLE_DBC, dbc), "08003:[fake_odbc]Connection not open;");
    ASSERT_EQ(SQLConnect(dbc, dsn_, 4, nullptr, 0, nullptr, 0), SQL_SUCCESS);
    EXPECT_EQ(SQLConnect(dbc, dsn_, 4, nullptr, 0, nullptr, 0), SQL_ERROR);  // 08002
    ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt), SQL_SUCCESS);
    // Freeing a parent before its children, or a connected connection, fails.
    EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_ENV, env), SQL_ERROR);
    EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_DBC, dbc), SQL_ERROR);
    // SQLDisconnect frees the statements of the connection.
    EXPECT_EQ(SQLDisconnect(dbc), SQL_SUCCESS);
    EXPECT_FALSE(fake_odbc::is_live(stmt));
    EXPECT_EQ(SQLFetch(stmt), SQL_INVALID_HANDLE);
    EXPECT_EQ(SQLDisconnect(dbc), SQL_ERROR);  // 08003
    EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_DBC, dbc), SQL_SUCCESS);
    EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_DBC, dbc), SQL_INVALID_HANDLE);
    EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_ENV, env), SQL_SUCCESS);
    // The two SQL_INVALID_HANDLE calls were on purpose.
    fake_odbc::clear_calls();
}

TEST_F(FakeSelf, ScriptPrecedenceAtQueueAlways) {
    open();
    fake_odbc::set_result(Fn::cancel, SQL_ERROR);
    fake_odbc::queue_result(Fn::cancel, SQL_SUCCESS_WITH_INFO);
    fake_odbc::set_result_at(Fn::cancel, 1, SQL_STILL_EXECUTING);
    EXPECT_EQ(SQLCancel(stmt_), SQL_STILL_EXECUTING);    // call 1
    EXPECT_EQ(SQLCancel(stmt_), SQL_SUCCESS_WITH_INFO);  // queue
    EXPECT_EQ(SQLCancel(stmt_), SQL_ERROR);              // always
    fake_odbc::clear_results(Fn::cancel);
    EXPECT_EQ(SQLCancel(stmt_), SQL_SUCCESS);
    close();
}

TEST_F(FakeSelf, DiagnosticsAreClearedByTheNextCallOnTheHandle) {
    open();
    fake_odbc::queue_result(Fn::exec_direct, SQL_ERROR,
                            {fake_odbc::Diagnostic("one", "42000", 7), "two"});
    EXPECT_EQ(exec("SELECT"), SQL_ERROR);
    EXPECT_EQ(diagnostics(SQL_HANDLE_STMT, stmt_), "42000:one;HY000:two;");
    EXPECT_EQ(diagnostics(SQL_HANDLE_STMT, stmt_), "42000:one;HY000:two;");  // reading keeps them
    SQLINTEGER native = 0;
    SQLCHAR text[4] = {};
    SQLSMALLINT len = 0;
    EXPECT_EQ(SQLGetDiagRec(SQL_HANDLE_STMT, stmt_, 1, nullptr, &native, text, sizeof(text), &len),
              SQL_SUCCESS);
    EXPECT_EQ(native, 7);
    EXPECT_EQ(SQLGetDiagRec(SQL_HANDLE_STMT, stmt_, 2, nullptr, nullptr, text, 2, &len),
              SQL_SUCCESS_WITH_INFO);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "t");
    EXPECT_EQ(len, 3);
    SQLCancel(stmt_);
    EXPECT_EQ(diagnostics(SQL_HANDLE_STMT, stmt_), "");
    fake_odbc::set_diagnostics(stmt_, {"direct"});
    EXPECT_EQ(diagnostics(SQL_HANDLE_STMT, stmt_), "HY000:direct;");
    close();
}

TEST_F(FakeSelf, ScriptedSuccessDoesTheWorkScriptedFailureDoesNothing) {
    open();
    fake_odbc::queue_result_set(fake_odbc::ResultSet(1).row({fake_odbc::integer(1)}));
    fake_odbc::queue_result(Fn::exec_direct, SQL_ERROR);
    EXPECT_EQ(exec("SELECT a"), SQL_ERROR);
    EXPECT_EQ(SQLFetch(stmt_), SQL_ERROR);  // no cursor was opened
    fake_odbc::queue_result(Fn::exec_direct, SQL_SUCCESS_WITH_INFO, {"warning"});
    EXPECT_EQ(exec("SELECT a"), SQL_SUCCESS_WITH_INFO);
    EXPECT_EQ(diagnostics(SQL_HANDLE_STMT, stmt_), "HY000:warning;");
    EXPECT_EQ(SQLFetch(stmt_), SQL_SUCCESS);  // the queued result set was opened
    EXPECT_EQ(SQLFetch(stmt_), SQL_NO_DATA);
    EXPECT_EQ(exec("SELECT a"), SQL_ERROR);  // cursor still open: 24000
    close();
}

TEST_F(FakeSelf, ResultSetsByTextBeforeTheQueue) {
    open();
    fake_odbc::set_result_set_for("SELECT b",
                                  fake_odbc::ResultSet(1).row({fake_odbc::text("by text")}));
    fake_odbc::queue_result_set(fake_odbc::ResultSet(1).row({fake_odbc::text("queued")}));
    ASSERT_EQ(exec("SELECT b"), SQL_SUCCESS);
    char buf[16] = {};
    SQLLEN ind = 0;
    ASSERT_EQ(SQLBindCol(stmt_, 1, SQL_C_CHAR, buf, sizeof(buf), &ind), SQL_SUCCESS);
    ASSERT_EQ(SQLFetch(stmt_), SQL_SUCCESS);
    EXPECT_STREQ(buf, "by text");
    EXPECT_EQ(ind, 7);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
    SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt_);
    ASSERT_EQ(exec("SELECT other"), SQL_SUCCESS);
    ASSERT_EQ(SQLBindCol(stmt_, 1, SQL_C_CHAR, buf, sizeof(buf), &ind), SQL_SUCCESS);
    ASSERT_EQ(SQLFetch(stmt_), SQL_SUCCESS);
    EXPECT_STREQ(buf, "queued");
    close();
}

TEST_F(FakeSelf, BoundColumnsConvertAndUnbind) {
    open();
    fake_odbc::queue_result_set(
        fake_odbc::ResultSet(3)
            .row({fake_odbc::text("12"), fake_odbc::real(7.9), fake_odbc::integer(70000)})
            .row({fake_odbc::text("x"), fake_odbc::null(), fake_odbc::null()}));
    ASSERT_EQ(exec("SELECT"), SQL_SUCCESS);
    unsigned short from_text = 0;
    int32_t from_real = 0;
    SQLLEN ind1 = 0;
    SQLLEN ind2 = 0;
    ASSERT_EQ(SQLBindCol(stmt_, 1, SQL_C_USHORT, &from_text, 0, &ind1), SQL_SUCCESS);
    ASSERT_EQ(SQLBindCol(stmt_, 2, SQL_C_SLONG, &from_real, 0, &ind2), SQL_SUCCESS);
    EXPECT_EQ(SQLBindCol(stmt_, 4, SQL_C_CHAR, &from_real, 4, &ind2), SQL_ERROR);  // 07009
    EXPECT_EQ(SQLFetch(stmt_), SQL_SUCCESS_WITH_INFO);  // 7.9 -> 7: fractional truncation
    EXPECT_EQ(from_text, 12);
    EXPECT_EQ(ind1, 2);
    EXPECT_EQ(from_real, 7);
    EXPECT_EQ(ind2, 4);
    ASSERT_EQ(SQLBindCol(stmt_, 1, SQL_C_USHORT, nullptr, 0, nullptr), SQL_SUCCESS);  // unbinds
    EXPECT_EQ(SQLFetch(stmt_), SQL_SUCCESS);
    EXPECT_EQ(from_text, 12);
    EXPECT_EQ(ind2, SQL_NULL_DATA);
    close();
}

TEST_F(FakeSelf, ConversionErrors) {
    open();
    fake_odbc::queue_result_set(fake_odbc::ResultSet(3).row(
        {fake_odbc::text("abc"), fake_odbc::integer(70000), fake_odbc::binary({0xAB, 0x01})}));
    ASSERT_EQ(exec("SELECT"), SQL_SUCCESS);
    ASSERT_EQ(SQLFetch(stmt_), SQL_SUCCESS);
    double d = 0.0;
    unsigned short u = 0;
    char hex[8] = {};
    SQLLEN ind = 0;
    EXPECT_EQ(SQLGetData(stmt_, 1, SQL_C_DOUBLE, &d, 0, &ind), SQL_ERROR);
    EXPECT_EQ(diagnostics(SQL_HANDLE_STMT, stmt_),
              "22018:[fake_odbc]Invalid character value for cast;");
    EXPECT_EQ(SQLGetData(stmt_, 2, SQL_C_USHORT, &u, 0, &ind), SQL_ERROR);
    EXPECT_EQ(diagnostics(SQL_HANDLE_STMT, stmt_), "22003:[fake_odbc]Numeric value out of range;");
    EXPECT_EQ(SQLGetData(stmt_, 3, SQL_C_DOUBLE, &d, 0, &ind), SQL_ERROR);  // 07006
    EXPECT_EQ(SQLGetData(stmt_, 3, SQL_C_CHAR, hex, sizeof(hex), &ind), SQL_SUCCESS);
    EXPECT_STREQ(hex, "AB01");
    EXPECT_EQ(SQLGetData(stmt_, 3, SQL_C_CHAR, hex, sizeof(hex), &ind), SQL_NO_DATA);
    close();
}

TEST_F(FakeSelf, GetDataHandsOutPiecesThenNoData) {
    open();
    fake_odbc::queue_result_set(
        fake_odbc::ResultSet(2).row({fake_odbc::text("abcdefg"), fake_odbc::real(1.5)}));
    ASSERT_EQ(exec("SELECT"), SQL_SUCCESS);
    char buf[4];
    SQLLEN ind = 0;
    EXPECT_EQ(SQLGetData(stmt_, 1, SQL_C_CHAR, buf, 4, &ind), SQL_ERROR);  // no row yet
    ASSERT_EQ(SQLFetch(stmt_), SQL_SUCCESS);
    EXPECT_EQ(SQLGetData(stmt_, 1, SQL_C_CHAR, buf, 4, &ind), SQL_SUCCESS_WITH_INFO);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(ind, 7);
    EXPECT_EQ(SQLGetData(stmt_, 1, SQL_C_CHAR, buf, 4, &ind), SQL_SUCCESS_WITH_INFO);
    EXPECT_STREQ(buf, "def");
    EXPECT_EQ(ind, 4);
    EXPECT_EQ(SQLGetData(stmt_, 1, SQL_C_CHAR, buf, 4, &ind), SQL_SUCCESS);
    EXPECT_STREQ(buf, "g");
    EXPECT_EQ(ind, 1);
    EXPECT_EQ(SQLGetData(stmt_, 1, SQL_C_CHAR, buf, 4, &ind), SQL_NO_DATA);
    double d = 0.0;
    EXPECT_EQ(SQLGetData(stmt_, 2, SQL_C_DOUBLE, &d, 0, &ind), SQL_SUCCESS);
    EXPECT_EQ(d, 1.5);
    EXPECT_EQ(ind, 8);
    EXPECT_EQ(SQLGetData(stmt_, 2, SQL_C_DOUBLE, &d, 0, &ind), SQL_NO_DATA);
    EXPECT_EQ(SQLGetData(stmt_, 0, SQL_C_CHAR, buf, 4, &ind), SQL_ERROR);  // 07009
    EXPECT_EQ(SQLGetData(stmt_, 3, SQL_C_CHAR, buf, 4, &ind), SQL_ERROR);  // 07009
    close();
}

TEST_F(FakeSelf, NullWithoutIndicatorIsAnError) {
    open();
    fake_odbc::queue_result_set(fake_odbc::ResultSet(1).row({fake_odbc::null()}));
    ASSERT_EQ(exec("SELECT"), SQL_SUCCESS);
    char buf[4];
    ASSERT_EQ(SQLBindCol(stmt_, 1, SQL_C_CHAR, buf, sizeof(buf), nullptr), SQL_SUCCESS);
    EXPECT_EQ(SQLFetch(stmt_), SQL_ERROR);
    EXPECT_EQ(diagnostics(SQL_HANDLE_STMT, stmt_),
              "22002:[fake_odbc]Indicator variable required but not supplied;");
    close();
}

TEST_F(FakeSelf, CallLogRecordsArgumentsAndTexts) {
    open();
    const std::string sql("SELECT\0junk", 11);
    SQLExecDirect(stmt_, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.data())), 11);
    const fake_odbc::Call& call = fake_odbc::calls().back();
    EXPECT_STREQ(call.name(), "SQLExecDirect");
    EXPECT_EQ(call.handle(), stmt_);
    EXPECT_EQ(call.text(), sql);
    EXPECT_EQ(call.number(2), 11);
    const fake_odbc::Call connect = fake_odbc::nth_call(Fn::connect, 0);
    EXPECT_EQ(connect.text(0), "fake");  // SQL_NTS
    EXPECT_EQ(connect.texts[1], std::nullopt);
    EXPECT_EQ(fake_odbc::count(Fn::alloc_handle), 3);
    EXPECT_EQ(fake_odbc::call_names().front(), "SQLAllocHandle");
    close();
}

}  // namespace
}  // namespace zel::sql::test
