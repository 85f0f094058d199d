// The handle classes against the fake: the exact ODBC calls of the three handle classes,
// every fixed failure message of the handle operations, and what a real driver cannot be made to
// do on demand.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "fake_odbc.h"
#include "fake_odbc_test.h"
#include "test_support.h"
#include "zel/Error.h"
#include "zel/sql/handles.h"

namespace zel::sql::test {
namespace {

using fake_odbc::Fn;
using zel::sql::AttributeType;
using zel::sql::CDataType;
using zel::sql::ConnectionHandle;
using zel::sql::EnvironmentHandle;
using zel::sql::ParameterType;
using zel::sql::SqlDataType;
using zel::sql::StatementHandle;
using zel::sql::test::Connection;
using zel::sql::test::error_message;

class Handles : public zel::sql::test::FakeOdbcTest {};

// --- allocation -----------------------------------------------------------------

TEST_F(Handles, EnvironmentAllocationSetsOdbcVersion3) {
    EnvironmentHandle env;
    env.alloc();
    ASSERT_TRUE(env.is_allocated());
    const auto& log = fake_odbc::calls();
    ASSERT_EQ(fake_odbc::call_names(),
              (std::vector<std::string>{"SQLAllocHandle", "SQLSetEnvAttr"}));
    EXPECT_EQ(log[0].number(0), SQL_HANDLE_ENV);
    EXPECT_EQ(log[0].pointer(1), nullptr);
    EXPECT_EQ(log[0].output_handle, env());
    EXPECT_EQ(log[1].handle(), env());
    EXPECT_EQ(log[1].number(1), SQL_ATTR_ODBC_VERSION);
    EXPECT_EQ(log[1].number(2), SQL_OV_ODBC3);
    EXPECT_EQ(log[1].number(3), 0);
}

TEST_F(Handles, ConnectionAllocationAsksForLoginTimeout5) {
    EnvironmentHandle env;
    env.alloc();
    fake_odbc::clear_calls();
    ConnectionHandle conn;
    conn.alloc(env);
    ASSERT_TRUE(conn.is_allocated());
    const auto& log = fake_odbc::calls();
    ASSERT_EQ(fake_odbc::call_names(),
              (std::vector<std::string>{"SQLAllocHandle", "SQLSetConnectAttr"}));
    EXPECT_EQ(log[0].number(0), SQL_HANDLE_DBC);
    EXPECT_EQ(log[0].handle(), env());
    EXPECT_EQ(log[0].output_handle, conn());
    EXPECT_EQ(log[1].handle(), conn());
    EXPECT_EQ(log[1].number(1), SQL_ATTR_LOGIN_TIMEOUT);
    EXPECT_EQ(log[1].number(2), 5);
    EXPECT_EQ(log[1].number(3), 0);
}

TEST_F(Handles, RejectedLoginTimeoutIsIgnored) {
    fake_odbc::set_result(Fn::set_connect_attr, SQL_ERROR, {"no time-out here"});
    EnvironmentHandle env;
    env.alloc();
    ConnectionHandle conn;
    EXPECT_NO_THROW(conn.alloc(env));
    EXPECT_TRUE(conn.is_allocated());
}

TEST_F(Handles, StatementAllocationSetsQueryTimeout10) {
    Connection c;
    fake_odbc::clear_calls();
    StatementHandle stmt;
    stmt.alloc(c.conn);
    ASSERT_TRUE(stmt.is_allocated());
    const auto& log = fake_odbc::calls();
    ASSERT_EQ(fake_odbc::call_names(),
              (std::vector<std::string>{"SQLAllocHandle", "SQLSetStmtAttr"}));
    EXPECT_EQ(log[0].number(0), SQL_HANDLE_STMT);
    EXPECT_EQ(log[0].handle(), c.conn());
    EXPECT_EQ(log[0].output_handle, stmt());
    EXPECT_EQ(log[1].handle(), stmt());
    EXPECT_EQ(log[1].number(1), SQL_ATTR_QUERY_TIMEOUT);
    EXPECT_EQ(log[1].number(2), 10);
    EXPECT_EQ(log[1].number(3), 0);
    EXPECT_EQ(fake_odbc::statement_attribute(stmt(), SQL_ATTR_QUERY_TIMEOUT), 10);
}

TEST_F(Handles, RejectedQueryTimeoutStillGivesAnAllocatedStatement) {
    Connection c;
    fake_odbc::set_result(Fn::set_stmt_attr, SQL_ERROR, {"Optional feature not implemented"});
    StatementHandle stmt;
    EXPECT_NO_THROW(stmt.alloc(c.conn));
    EXPECT_TRUE(stmt.is_allocated());
    EXPECT_TRUE(fake_odbc::is_live(stmt()));
    EXPECT_EQ(fake_odbc::statement_attribute(stmt(), SQL_ATTR_QUERY_TIMEOUT), std::nullopt);
    // The rejection was reported by set_attribute, which collected the
    // diagnostics, and then dropped.
    EXPECT_GE(fake_odbc::count(Fn::get_diag_rec), 1);
}

TEST_F(Handles, SecondAllocIsRefusedAndKeepsTheFirstHandle) {
    Connection c;
    StatementHandle stmt;
    stmt.alloc(c.conn);
    const SQLHENV env = c.env();
    const SQLHDBC dbc = c.conn();
    const SQLHSTMT st = stmt();
    fake_odbc::clear_calls();

    EXPECT_EQ(error_message([&] { c.env.alloc(); }),
              "Refusing to allocate an already allocated SQL environment handle");
    EXPECT_EQ(error_message([&] { c.conn.alloc(c.env); }),
              "Refusing to allocate an already allocated SQL connection handle");
    EXPECT_EQ(error_message([&] { stmt.alloc(c.conn); }),
              "Refusing to allocate an already allocated SQL statement handle");
    EXPECT_TRUE(fake_odbc::calls().empty());
    EXPECT_EQ(c.env(), env);
    EXPECT_EQ(c.conn(), dbc);
    EXPECT_EQ(stmt(), st);
    EXPECT_TRUE(c.env.is_allocated() && c.conn.is_allocated() && stmt.is_allocated());
}

TEST_F(Handles, ParentNotAllocated) {
    EnvironmentHandle env;
    ConnectionHandle conn;
    StatementHandle stmt;
    EXPECT_EQ(error_message([&] { conn.alloc(env); }), "SQL environment handle is not allocated");
    EXPECT_EQ(error_message([&] { stmt.alloc(conn); }), "SQL connection handle is not allocated");
    EXPECT_TRUE(fake_odbc::calls().empty());
    EXPECT_FALSE(conn.is_allocated());
    EXPECT_FALSE(stmt.is_allocated());
}

TEST_F(Handles, RefusedAllocations) {
    fake_odbc::set_result_at(Fn::alloc_handle, 1, SQL_ERROR);
    EnvironmentHandle env;
    EXPECT_EQ(error_message([&] { env.alloc(); }), "Unable to allocate SQL environment handle");
    EXPECT_FALSE(env.is_allocated());

    env.alloc();  // call 2
    fake_odbc::set_result_at(Fn::alloc_handle, 3, SQL_ERROR);
    ConnectionHandle conn;
    EXPECT_EQ(error_message([&] { conn.alloc(env); }), "Unable to allocate SQL connection handle");
    EXPECT_FALSE(conn.is_allocated());

    // A statement on a connection that is not connected: the driver manager
    // refuses it (08003), no script needed.
    conn.alloc(env);
    StatementHandle stmt;
    EXPECT_EQ(error_message([&] { stmt.alloc(conn); }), "Unable to allocate SQL statement handle");
    EXPECT_FALSE(stmt.is_allocated());
    EXPECT_EQ(fake_odbc::calls().back().result, SQL_ERROR);
}

TEST_F(Handles, RejectedOdbcVersionFreesTheEnvironment) {
    fake_odbc::set_result(Fn::set_env_attr, SQL_ERROR);
    EnvironmentHandle env;
    EXPECT_EQ(error_message([&] { env.alloc(); }),
              "Unable to set ODBC version as SQL environment attribute");
    EXPECT_FALSE(env.is_allocated());
    ASSERT_EQ(fake_odbc::call_names(),
              (std::vector<std::string>{"SQLAllocHandle", "SQLSetEnvAttr", "SQLFreeHandle"}));
    const fake_odbc::Call& free_call = fake_odbc::calls()[2];
    EXPECT_EQ(free_call.number(0), SQL_HANDLE_ENV);
    EXPECT_EQ(free_call.handle(), fake_odbc::calls()[0].output_handle);
    EXPECT_EQ(free_call.result, SQL_SUCCESS);
}

// --- free, move, destruction ----------------------------------------------------------

TEST_F(Handles, FreeOnUnallocatedHandlesCallsNothing) {
    EnvironmentHandle env;
    ConnectionHandle conn;
    StatementHandle stmt;
    env.free();
    conn.free();
    stmt.free();
    EXPECT_TRUE(fake_odbc::calls().empty());
}

TEST_F(Handles, FreeCallsSqlFreeHandleOnceWithTheHandleType) {
    Connection c;
    StatementHandle stmt;
    stmt.alloc(c.conn);
    const SQLHSTMT st = stmt();
    fake_odbc::clear_calls();
    stmt.free();
    stmt.free();
    ASSERT_EQ(fake_odbc::call_names(), (std::vector<std::string>{"SQLFreeHandle"}));
    EXPECT_EQ(fake_odbc::calls()[0].number(0), SQL_HANDLE_STMT);
    EXPECT_EQ(fake_odbc::calls()[0].handle(), st);
    EXPECT_FALSE(stmt.is_allocated());
}

TEST_F(Handles, FailingSqlFreeHandleIsIgnored) {
    Connection c;
    fake_odbc::set_result(Fn::free_handle, SQL_ERROR);
    {
        StatementHandle stmt;
        stmt.alloc(c.conn);
        EXPECT_NO_THROW(stmt.free());
        EXPECT_FALSE(stmt.is_allocated());
    }
    fake_odbc::clear_results(Fn::free_handle);
    // The statement the fake still holds goes with the disconnect.
}

TEST_F(Handles, MoveTransfersOwnershipAndTheMovedFromObjectCallsNothing) {
    Connection c;
    StatementHandle target;
    {
        StatementHandle source;
        source.alloc(c.conn);
        const SQLHSTMT st = source();
        StatementHandle moved(std::move(source));
        EXPECT_FALSE(source.is_allocated());
        EXPECT_TRUE(moved.is_allocated());
        EXPECT_EQ(moved(), st);
        target = std::move(moved);
        EXPECT_FALSE(moved.is_allocated());
        EXPECT_EQ(target(), st);
        fake_odbc::clear_calls();
    }  // destroys source and moved, both moved-from
    EXPECT_TRUE(fake_odbc::calls().empty());
    EXPECT_TRUE(fake_odbc::is_live(target()));

    EnvironmentHandle env1;
    env1.alloc();
    EnvironmentHandle env2(std::move(env1));
    ConnectionHandle conn1;
    conn1.alloc(env2);
    ConnectionHandle conn2(std::move(conn1));
    fake_odbc::clear_calls();
    env1.free();
    conn1.free();
    EXPECT_TRUE(fake_odbc::calls().empty());
    EXPECT_TRUE(conn2.is_allocated() && env2.is_allocated());
}

TEST_F(Handles, MoveAssignmentFreesTheTargetsOwnHandleFirst) {
    Connection c;
    StatementHandle a;
    StatementHandle b;
    a.alloc(c.conn);
    b.alloc(c.conn);
    const SQLHSTMT old_a = a();
    const SQLHSTMT old_b = b();
    fake_odbc::clear_calls();
    a = std::move(b);
    ASSERT_EQ(fake_odbc::call_names(), (std::vector<std::string>{"SQLFreeHandle"}));
    EXPECT_EQ(fake_odbc::calls()[0].handle(), old_a);
    EXPECT_EQ(a(), old_b);
    EXPECT_FALSE(b.is_allocated());
}

TEST_F(Handles, SelfMoveAssignmentKeepsTheHandle) {
    Connection c;
    StatementHandle stmt;
    stmt.alloc(c.conn);
    const SQLHSTMT st = stmt();
    fake_odbc::clear_calls();
    StatementHandle& alias = stmt;
    stmt = std::move(alias);
    EnvironmentHandle& env_alias = c.env;
    c.env = std::move(env_alias);
    ConnectionHandle& conn_alias = c.conn;
    c.conn = std::move(conn_alias);
    EXPECT_TRUE(fake_odbc::calls().empty());
    EXPECT_TRUE(stmt.is_allocated());
    EXPECT_EQ(stmt(), st);
    EXPECT_TRUE(c.env.is_allocated() && c.conn.is_allocated());
    EXPECT_TRUE(fake_odbc::is_live(st));
}

// --- operations on an unallocated statement ------------------------------------------

TEST_F(Handles, EveryOperationOnAnUnallocatedStatementThrowsItsMessage) {
    StatementHandle stmt;
    char buf[8] = {};
    SQLLEN ind = 0;
    bool was_null = false;
    const std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {"Cannot cancel an unallocated SQL handle", [&] { stmt.cancel(); }},
        {"Cannot fetch from an unallocated SQL handle", [&] { stmt.fetch(); }},
        {"Cannot fetch from an unallocated SQL handle", [&] { stmt.fetch_checked("SELECT 1"); }},
        {"Unallocated SQL statement", [&] { stmt.execute("CALL p()"); }},
        {"Need to allocate a statement handle before a query can be executed",
         [&] { stmt.send_query("SELECT 1"); }},
        {"Unallocated SQL statement",
         [&] { stmt.set_attribute(AttributeType::max_rows, nullptr, 0); }},
        {"Unallocated SQL statement",
         [&] { stmt.bind_column(1, CDataType::c_char, buf, sizeof(buf), &ind); }},
        {"Unallocated SQL statement",
         [&] {
             stmt.bind_parameter(1, ParameterType::in, CDataType::c_char, SqlDataType::s_varchar, 8,
                                 0, buf, sizeof(buf), &ind);
         }},
        {"Unallocated SQL statement",
         [&] { stmt.get_data(1, SQL_C_CHAR, buf, sizeof(buf), &ind); }},
        {"Unallocated SQL statement", [&] { stmt.get_data_as_string(1, &was_null); }},
        {"Unallocated SQL statement", [&] { stmt.get_data_as_binary(1, &was_null); }},
    };
    for (const auto& [message, action] : cases) {
        EXPECT_EQ(error_message(action), message);
    }
    EXPECT_TRUE(fake_odbc::calls().empty());
}

// --- failures with diagnostics --------------------------------------------------------

class AllocatedStatement : public zel::sql::test::FakeOdbcTest {
protected:
    void SetUp() override {
        FakeOdbcTest::SetUp();
        connection_.emplace();
        stmt_.alloc(connection_->conn);
        fake_odbc::clear_calls();
    }
    void TearDown() override {
        stmt_.free();
        connection_.reset();
        FakeOdbcTest::TearDown();
    }

    std::optional<Connection> connection_;
    StatementHandle stmt_;
};

TEST_F(AllocatedStatement, FailureMessagesEndWithTheDiagnosticText) {
    char buf[8] = {};
    SQLLEN ind = 0;
    const std::vector<Fn> fns = {Fn::exec_direct, Fn::exec_direct,    Fn::set_stmt_attr,
                                 Fn::bind_col,    Fn::bind_parameter, Fn::get_data};
    for (Fn fn : fns) {
        fake_odbc::queue_result(fn, SQL_ERROR, {fake_odbc::Diagnostic("[drv]broken", "HY000", 7)});
    }
    EXPECT_EQ(error_message([&] { stmt_.execute("CALL p(1)"); }),
              "Error executing 'CALL p(1)': [drv]broken");
    EXPECT_EQ(error_message([&] { stmt_.send_query("SELECT x FROM t"); }),
              "Query failed: [drv]broken (SELECT x FROM t)");
    EXPECT_EQ(error_message([&] {
                  stmt_.set_attribute(AttributeType::max_rows, reinterpret_cast<SQLPOINTER>(5), 0);
              }),
              "Unable to set attribute: [drv]broken");
    EXPECT_EQ(
        error_message([&] { stmt_.bind_column(7, CDataType::c_char, buf, sizeof(buf), &ind); }),
        "Unable to bind to column 7: [drv]broken");
    EXPECT_EQ(error_message([&] {
                  stmt_.bind_parameter(3, ParameterType::in, CDataType::c_char,
                                       SqlDataType::s_varchar, 8, 0, buf, sizeof(buf), &ind);
              }),
              "Unable to bind SQL parameter 3: [drv]broken");
    EXPECT_EQ(error_message([&] { stmt_.get_data(2, SQL_C_CHAR, buf, sizeof(buf), &ind); }),
              "Unable to get data from column 2: [drv]broken");
    EXPECT_TRUE(stmt_.is_allocated());
}

TEST_F(AllocatedStatement, FailuresWithDiagnosticsCarryTheFirstRecordsSqlstateAndNativeCode) {
    char buf[8] = {};
    SQLLEN ind = 0;
    const std::vector<std::pair<Fn, std::function<void()>>> cases = {
        {Fn::exec_direct, [&] { stmt_.execute("CALL p(1)"); }},
        {Fn::exec_direct, [&] { stmt_.send_query("SELECT x FROM t"); }},
        {Fn::set_stmt_attr, [&] { stmt_.set_attribute(AttributeType::max_rows, nullptr, 0); }},
        {Fn::bind_col, [&] { stmt_.bind_column(7, CDataType::c_char, buf, sizeof(buf), &ind); }},
        {Fn::bind_parameter,
         [&] {
             stmt_.bind_parameter(3, ParameterType::in, CDataType::c_char, SqlDataType::s_varchar,
                                  8, 0, buf, sizeof(buf), &ind);
         }},
        {Fn::get_data, [&] { stmt_.get_data(2, SQL_C_CHAR, buf, sizeof(buf), &ind); }},
        {Fn::get_data, [&] { stmt_.get_data_as_binary(2, nullptr); }},
        {Fn::fetch, [&] { stmt_.fetch_checked("SELECT x FROM t"); }},
    };
    for (const auto& [fn, action] : cases) {
        SCOPED_TRACE(fake_odbc::name_of(fn));
        fake_odbc::queue_result(fn, SQL_ERROR,
                                {fake_odbc::Diagnostic("[drv]table gone", "42S02", 942),
                                 fake_odbc::Diagnostic("[drv]statement ended", "01000", -7)});
        const auto error = zel::sql::test::database_error(action);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->get_sqlstate(), "42S02");
        EXPECT_EQ(error->get_native_error(), 942);
        EXPECT_EQ(error->get_message(), error->what());
        EXPECT_NE(std::string(error->what()).find("[drv]table gone[drv]statement ended"),
                  std::string::npos);
    }
    // Without any record there is nothing to report but the failure itself.
    fake_odbc::queue_result(Fn::exec_direct, SQL_NO_DATA);
    const auto bare = zel::sql::test::database_error([&] { stmt_.send_query("DELETE FROM t"); });
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->get_sqlstate(), "");
    EXPECT_EQ(bare->get_native_error(), 0);
    EXPECT_STREQ(bare->what(), "Query failed:  (DELETE FROM t)");
}

TEST_F(AllocatedStatement, DiagnosticsAreReadFromTheStatementRecordByRecord) {
    fake_odbc::set_result(Fn::exec_direct, SQL_ERROR, {"first", "second"});
    EXPECT_EQ(error_message([&] { stmt_.execute("X"); }), "Error executing 'X': firstsecond");
    const std::vector<fake_odbc::Call> diag = fake_odbc::calls_of(Fn::get_diag_rec);
    ASSERT_EQ(diag.size(), 3u);  // records 1 and 2, then SQL_NO_DATA
    for (std::size_t i = 0; i < diag.size(); ++i) {
        EXPECT_EQ(diag[i].number(0), SQL_HANDLE_STMT);
        EXPECT_EQ(diag[i].handle(), stmt_());
        EXPECT_EQ(diag[i].number(2), static_cast<long long>(i + 1));
        EXPECT_EQ(diag[i].number(6), 513);
    }
    EXPECT_EQ(diag[2].result, SQL_NO_DATA);
}

TEST_F(AllocatedStatement, LongDiagnosticIsCutTo512Characters) {
    const std::string long_text(600, 'x');
    fake_odbc::set_result(Fn::exec_direct, SQL_ERROR, {long_text.c_str(), "tail"});
    EXPECT_EQ(error_message([&] { stmt_.execute("X"); }),
              "Error executing 'X': " + std::string(512, 'x') + "tail");
}

TEST_F(AllocatedStatement, NeedDataIsSuccessForExecuteOnly) {
    fake_odbc::set_result(Fn::exec_direct, SQL_NEED_DATA);
    EXPECT_NO_THROW(stmt_.execute("CALL p(?)"));
    EXPECT_EQ(error_message([&] { stmt_.send_query("SELECT 1"); }), "Query failed:  (SELECT 1)");
}

TEST_F(AllocatedStatement, NoDataFromExecDirectFailsBothWithoutDiagnostics) {
    fake_odbc::set_result(Fn::exec_direct, SQL_NO_DATA);
    const std::string execute_message = error_message([&] { stmt_.execute("DELETE FROM t"); });
    EXPECT_EQ(execute_message, "Error executing 'DELETE FROM t': ");
    EXPECT_EQ(execute_message.substr(execute_message.size() - 3), "': ");
    const std::string query_message = error_message([&] { stmt_.send_query("DELETE FROM t"); });
    EXPECT_EQ(query_message, "Query failed:  (DELETE FROM t)");
    EXPECT_NE(query_message.find("Query failed:  ("), std::string::npos);
}

TEST_F(AllocatedStatement, StillExecutingAndInvalidHandleAreFailures) {
    fake_odbc::queue_result(Fn::exec_direct, SQL_STILL_EXECUTING);
    fake_odbc::queue_result(Fn::exec_direct, SQL_INVALID_HANDLE);
    EXPECT_EQ(error_message([&] { stmt_.execute("A"); }), "Error executing 'A': ");
    EXPECT_EQ(error_message([&] { stmt_.execute("B"); }), "Error executing 'B': ");
    fake_odbc::clear_calls();  // the scripted SQL_INVALID_HANDLE was on purpose
}

TEST_F(AllocatedStatement, SuccessWithInfoIsSuccess) {
    fake_odbc::set_result(Fn::exec_direct, SQL_SUCCESS_WITH_INFO, {"just so you know"});
    EXPECT_NO_THROW(stmt_.execute("CALL p()"));
}

TEST_F(AllocatedStatement, SqlTextIsPassedWithItsExplicitLength) {
    const std::string sql("SELECT 'a\0b' FROM t", 19);
    stmt_.send_query(sql);
    const fake_odbc::Call call = fake_odbc::nth_call(Fn::exec_direct, 0);
    EXPECT_EQ(call.handle(), stmt_());
    EXPECT_EQ(call.pointer(1), static_cast<const void*>(sql.data()));
    EXPECT_EQ(call.number(2), 19);
    EXPECT_EQ(call.text(), sql);

    StatementHandle other;
    other.alloc(connection_->conn);
    const std::string statement = "CALL p()";
    other.execute(statement);
    const fake_odbc::Call exec = fake_odbc::nth_call(Fn::exec_direct, 1);
    EXPECT_EQ(exec.pointer(1), static_cast<const void*>(statement.data()));
    EXPECT_EQ(exec.number(2), 8);
    EXPECT_EQ(exec.text(), statement);
}

TEST_F(AllocatedStatement, FetchReportsEveryFailureAsFalse) {
    fake_odbc::queue_result_set(
        fake_odbc::ResultSet(1).row({fake_odbc::integer(1)}).row({fake_odbc::integer(2)}));
    stmt_.send_query("SELECT n FROM t");
    fake_odbc::queue_result(Fn::fetch, SQL_SUCCESS_WITH_INFO);
    fake_odbc::queue_result(Fn::fetch, SQL_ERROR, {"fetch broke"});
    fake_odbc::queue_result(Fn::fetch, SQL_STILL_EXECUTING);
    EXPECT_TRUE(stmt_.fetch());
    EXPECT_FALSE(stmt_.fetch());
    EXPECT_FALSE(stmt_.fetch());
    EXPECT_TRUE(stmt_.fetch());   // row 2
    EXPECT_FALSE(stmt_.fetch());  // SQL_NO_DATA
    EXPECT_FALSE(stmt_.fetch());
    EXPECT_EQ(fake_odbc::count(Fn::get_diag_rec), 0);  // fetch collects nothing
}

TEST_F(AllocatedStatement, FetchAfterAFailedExecutionIsFalse) {
    fake_odbc::set_result(Fn::exec_direct, SQL_ERROR);
    EXPECT_THROW(stmt_.send_query("SELECT nothing"), zel::Error);
    EXPECT_FALSE(stmt_.fetch());  // no cursor: 24000 from the driver
}

TEST_F(AllocatedStatement, FetchCheckedTellsAFailureFromTheEnd) {
    fake_odbc::queue_result_set(fake_odbc::ResultSet(1)
                                    .row({fake_odbc::integer(1)})
                                    .error({"[drv]lost ", "connection"})
                                    .row({fake_odbc::integer(3)}));
    stmt_.send_query("SELECT n FROM t");
    EXPECT_TRUE(stmt_.fetch_checked("SELECT n FROM t"));
    EXPECT_EQ(error_message([&] { stmt_.fetch_checked("SELECT n FROM t"); }),
              "Fetch failed: [drv]lost connection (SELECT n FROM t)");
    EXPECT_TRUE(stmt_.fetch_checked("SELECT n FROM t"));
    EXPECT_FALSE(stmt_.fetch_checked("SELECT n FROM t"));
    EXPECT_FALSE(stmt_.fetch_checked("SELECT n FROM t"));
}

TEST_F(AllocatedStatement, CancelCallsSqlCancelAndIgnoresItsResult) {
    fake_odbc::set_result(Fn::cancel, SQL_ERROR, {"cannot cancel"});
    EXPECT_NO_THROW(stmt_.cancel());
    ASSERT_EQ(fake_odbc::call_names(), (std::vector<std::string>{"SQLCancel"}));
    EXPECT_EQ(fake_odbc::calls()[0].handle(), stmt_());
    EXPECT_TRUE(stmt_.is_allocated());
}

TEST_F(AllocatedStatement, ColumnNumbersArePassedAsTheirLow16Bits) {
    char buf[4] = {};
    SQLLEN ind = 0;
    fake_odbc::queue_result(Fn::bind_col, SQL_ERROR, {"d"});
    fake_odbc::queue_result(Fn::get_data, SQL_ERROR, {"d"});
    EXPECT_EQ(error_message(
                  [&] { stmt_.bind_column(65536 + 3, CDataType::c_char, buf, sizeof(buf), &ind); }),
              "Unable to bind to column 65539: d");
    EXPECT_EQ(error_message([&] { stmt_.get_data(-1, SQL_C_CHAR, buf, sizeof(buf), &ind); }),
              "Unable to get data from column -1: d");
    EXPECT_EQ(fake_odbc::nth_call(Fn::bind_col, 0).number(1), 3);
    EXPECT_EQ(fake_odbc::nth_call(Fn::get_data, 0).number(1), 65535);
}

TEST_F(AllocatedStatement, BindArgumentsArePassedUnchanged) {
    char buf[32] = {};
    SQLLEN ind = 0;
    double number = 0.0;
    SQLLEN number_ind = 0;
    stmt_.bind_parameter(2, ParameterType::in_out, CDataType::c_char, SqlDataType::s_varchar, 30, 0,
                         buf, sizeof(buf), &ind);
    stmt_.bind_parameter(4, ParameterType::out, CDataType::c_double, SqlDataType::s_decimal, 12, 3,
                         &number, sizeof(number), &number_ind);
    stmt_.set_attribute(AttributeType::max_rows, reinterpret_cast<SQLPOINTER>(100), 0);
    const auto params = fake_odbc::calls_of(Fn::bind_parameter);
    ASSERT_EQ(params.size(), 2u);
    const fake_odbc::Call& p = params[0];
    EXPECT_EQ(p.handle(), stmt_());
    EXPECT_EQ(p.number(1), 2);
    EXPECT_EQ(p.number(2), SQL_PARAM_INPUT_OUTPUT);
    EXPECT_EQ(p.number(3), SQL_C_CHAR);
    EXPECT_EQ(p.number(4), SQL_VARCHAR);
    EXPECT_EQ(p.number(5), 30);
    EXPECT_EQ(p.number(6), 0);
    EXPECT_EQ(p.pointer(7), buf);
    EXPECT_EQ(p.number(8), 32);
    EXPECT_EQ(p.pointer(9), &ind);
    const fake_odbc::Call& q = params[1];
    EXPECT_EQ(q.number(2), SQL_PARAM_OUTPUT);
    EXPECT_EQ(q.number(3), SQL_C_DOUBLE);
    EXPECT_EQ(q.number(4), SQL_DECIMAL);
    EXPECT_EQ(q.number(5), 12);
    EXPECT_EQ(q.number(6), 3);
    EXPECT_EQ(q.pointer(7), &number);
    EXPECT_EQ(q.number(8), 8);
    EXPECT_EQ(q.pointer(9), &number_ind);
    const fake_odbc::Call attr = fake_odbc::nth_call(Fn::set_stmt_attr, 0);
    EXPECT_EQ(attr.number(1), SQL_ATTR_MAX_ROWS);
    EXPECT_EQ(attr.number(2), 100);
    EXPECT_EQ(attr.number(3), 0);
}

}  // namespace
}  // namespace zel::sql::test
