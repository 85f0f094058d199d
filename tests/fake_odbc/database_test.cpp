// Database against the fake: the connection state machine, the exact
// SQLConnect arguments, why a login was refused, logging in again after a
// lost connection, destruction order and read_column_names.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fake_odbc.h"
#include "fake_odbc_test.h"
#include "test_support.h"
#include "zel/Error.h"
#include "zel/sql/Database.h"

namespace zel::sql::test {
namespace {

using fake_odbc::Fn;
using zel::sql::Database;
using zel::sql::test::error_message;

class DatabaseTest : public zel::sql::test::FakeOdbcTest {};

const char* const column_names_sql =
    "SELECT COLUMN_NAME FROM ALL_TAB_COLUMNS WHERE UPPER(OWNER) = 'TAVIK' AND "
    "UPPER(TABLE_NAME) = 'COMPONENTS'";

TEST_F(DatabaseTest, NothingIsContactedAtConstruction) {
    { Database db("no such source", "user", "secret"); }
    EXPECT_TRUE(fake_odbc::calls().empty());
}

TEST_F(DatabaseTest, FirstSendQueryConnectsTheSecondDoesNot) {
    Database db("accel", "reader", "pw");
    { db.send_query("SELECT 1 FROM DUAL"); }
    EXPECT_EQ(
        fake_odbc::call_names(),
        (std::vector<std::string>{
            "SQLAllocHandle", "SQLSetEnvAttr", "SQLAllocHandle", "SQLSetConnectAttr", "SQLConnect",
            "SQLAllocHandle", "SQLSetStmtAttr", "SQLExecDirect", "SQLCancel", "SQLFreeHandle"}));
    const auto allocs = fake_odbc::calls_of(Fn::alloc_handle);
    EXPECT_EQ(allocs[0].number(0), SQL_HANDLE_ENV);
    EXPECT_EQ(allocs[1].number(0), SQL_HANDLE_DBC);
    EXPECT_EQ(allocs[2].number(0), SQL_HANDLE_STMT);
    EXPECT_EQ(allocs[2].handle(), allocs[1].output_handle);

    // Reusing the open connection asks once whether it is still alive, and
    // changes nothing else.
    fake_odbc::clear_calls();
    { db.send_query("SELECT 2 FROM DUAL"); }
    { db.get_procedure("{call tavik.p}"); }
    EXPECT_EQ(fake_odbc::call_names(),
              (std::vector<std::string>{"SQLGetConnectAttr", "SQLAllocHandle", "SQLSetStmtAttr",
                                        "SQLExecDirect", "SQLCancel", "SQLFreeHandle",
                                        "SQLGetConnectAttr", "SQLAllocHandle", "SQLSetStmtAttr",
                                        "SQLCancel", "SQLFreeHandle"}));
    const fake_odbc::Call probe = fake_odbc::nth_call(Fn::get_connect_attr, 0);
    EXPECT_EQ(probe.handle(), allocs[1].output_handle);
    EXPECT_EQ(probe.number(1), SQL_ATTR_CONNECTION_DEAD);
    EXPECT_EQ(fake_odbc::nth_call(Fn::exec_direct, 0).text(), "SELECT 2 FROM DUAL");
}

TEST_F(DatabaseTest, ConnectPassesNamesWithTheirLengths) {
    Database db("accel", "reader", "pw");
    db.connect();
    const fake_odbc::Call call = fake_odbc::nth_call(Fn::connect, 0);
    EXPECT_EQ(call.handle(), fake_odbc::last_handle(SQL_HANDLE_DBC));
    EXPECT_EQ(call.text(0), "accel");
    EXPECT_EQ(call.number(2), 5);
    EXPECT_EQ(call.text(1), "reader");
    EXPECT_EQ(call.number(4), 6);
    EXPECT_EQ(call.text(2), "pw");
    EXPECT_EQ(call.number(6), 2);
    EXPECT_TRUE(fake_odbc::is_connected(call.handle()));
}

TEST_F(DatabaseTest, EmptyUserAndPasswordArePassedAsNullPointersWithLength0) {
    Database db("", "", "");
    db.connect();
    const fake_odbc::Call call = fake_odbc::nth_call(Fn::connect, 0);
    EXPECT_NE(call.pointer(1), nullptr);  // the data source text, even when empty
    EXPECT_EQ(call.text(0), "");
    EXPECT_EQ(call.number(2), 0);
    EXPECT_EQ(call.pointer(3), nullptr);
    EXPECT_EQ(call.number(4), 0);
    EXPECT_EQ(call.pointer(5), nullptr);
    EXPECT_EQ(call.number(6), 0);
    EXPECT_EQ(call.texts[1], std::nullopt);
    EXPECT_EQ(call.texts[2], std::nullopt);
}

TEST_F(DatabaseTest, SecondExplicitConnectThrowsAndKeepsTheConnection) {
    Database db("accel", "u", "p");
    db.connect();
    fake_odbc::clear_calls();
    EXPECT_EQ(error_message([&] { db.connect(); }), "SQL connection is already open");
    EXPECT_TRUE(fake_odbc::calls().empty());
    EXPECT_TRUE(fake_odbc::is_connected(fake_odbc::last_handle(SQL_HANDLE_DBC)));
}

TEST_F(DatabaseTest, DisconnectWithoutConnectionCallsNothing) {
    Database db("accel", "u", "p");
    EXPECT_NO_THROW(db.disconnect());
    EXPECT_NO_THROW(db.disconnect());
    EXPECT_TRUE(fake_odbc::calls().empty());
}

TEST_F(DatabaseTest, DisconnectTwiceCallsSqlDisconnectOnce) {
    Database db("accel", "u", "p");
    db.connect();
    const SQLHDBC dbc = fake_odbc::last_handle(SQL_HANDLE_DBC);
    fake_odbc::clear_calls();
    db.disconnect();
    db.disconnect();
    ASSERT_EQ(fake_odbc::call_names(), (std::vector<std::string>{"SQLDisconnect"}));
    EXPECT_EQ(fake_odbc::calls()[0].handle(), dbc);
    EXPECT_FALSE(fake_odbc::is_connected(dbc));
    EXPECT_TRUE(fake_odbc::is_live(dbc));  // the handles stay allocated
}

TEST_F(DatabaseTest, FailingSqlDisconnectIsIgnored) {
    Database db("accel", "u", "p");
    db.connect();
    fake_odbc::set_result(Fn::disconnect, SQL_ERROR, {"[drv]transaction pending"});
    EXPECT_NO_THROW(db.disconnect());
    EXPECT_EQ(fake_odbc::count(Fn::disconnect), 1);
    fake_odbc::clear_results(Fn::disconnect);
    // The fake still sees the connection open, so the destructor's
    // SQLFreeHandle of the connection fails (ignored) and the handles stay.
    expect_all_freed_ = false;
}

TEST_F(DatabaseTest, ReconnectAfterDisconnectUsesTheSameHandles) {
    Database db("accel", "u", "p");
    { db.send_query("SELECT 1 FROM DUAL"); }
    const SQLHENV env = fake_odbc::last_handle(SQL_HANDLE_ENV);
    const SQLHDBC dbc = fake_odbc::last_handle(SQL_HANDLE_DBC);
    db.disconnect();
    fake_odbc::clear_calls();
    { db.send_query("SELECT 1 FROM DUAL"); }
    const auto connects = fake_odbc::calls_of(Fn::connect);
    ASSERT_EQ(connects.size(), 1u);
    EXPECT_EQ(connects[0].handle(), dbc);
    const auto allocs = fake_odbc::calls_of(Fn::alloc_handle);
    ASSERT_EQ(allocs.size(), 1u);
    EXPECT_EQ(allocs[0].number(0), SQL_HANDLE_STMT);
    EXPECT_EQ(fake_odbc::last_handle(SQL_HANDLE_ENV), env);
    EXPECT_EQ(fake_odbc::count(Fn::set_env_attr), 0);
}

TEST_F(DatabaseTest, RefusedConnectIsSilentKeepsTheReasonAndTheNextCallRetries) {
    Database db("accel", "u", "wrong");
    EXPECT_EQ(db.get_last_connect_error(), "");
    fake_odbc::set_result_at(Fn::connect, 1, SQL_ERROR,
                             {fake_odbc::Diagnostic("[drv]password authentication failed", "28P01"),
                              "[dm]login refused"});
    EXPECT_EQ(error_message([&] { db.send_query("SELECT 1 FROM DUAL"); }),
              "Unable to allocate SQL statement handle");
    EXPECT_FALSE(db.is_connected());
    EXPECT_EQ(db.get_last_connect_error(), "[drv]password authentication failed[dm]login refused");
    // The reason is read from the connection right after the refused call,
    // before the statement allocation clears it.
    const SQLHDBC dbc = fake_odbc::last_handle(SQL_HANDLE_DBC);
    const std::vector<fake_odbc::Call> tail = zel::sql::test::calls_from(4);
    ASSERT_EQ(zel::sql::test::names_from(4),
              (std::vector<std::string>{"SQLConnect", "SQLGetDiagRec", "SQLGetDiagRec",
                                        "SQLGetDiagRec", "SQLAllocHandle"}));
    for (std::size_t i = 1; i <= 3; ++i) {
        EXPECT_EQ(tail[i].number(0), SQL_HANDLE_DBC);
        EXPECT_EQ(tail[i].handle(), dbc);
    }
    EXPECT_EQ(tail[4].result, SQL_ERROR);

    // The call that connects asks nothing about liveness; a success clears
    // the reason.
    fake_odbc::clear_calls();
    { db.send_query("SELECT 1 FROM DUAL"); }
    EXPECT_EQ(fake_odbc::call_names(),
              (std::vector<std::string>{"SQLConnect", "SQLAllocHandle", "SQLSetStmtAttr",
                                        "SQLExecDirect", "SQLCancel", "SQLFreeHandle"}));
    EXPECT_TRUE(db.is_connected());
    EXPECT_EQ(db.get_last_connect_error(), "");
}

TEST_F(DatabaseTest, RefusedExplicitConnectDoesNotThrow) {
    Database db("accel", "u", "wrong");
    fake_odbc::set_result_at(Fn::connect, 1, SQL_ERROR);
    EXPECT_NO_THROW(db.connect());
    EXPECT_FALSE(fake_odbc::is_connected(fake_odbc::last_handle(SQL_HANDLE_DBC)));
    EXPECT_NO_THROW(db.connect());  // not "already open"
    EXPECT_EQ(fake_odbc::count(Fn::connect), 2);
}

TEST_F(DatabaseTest, RefusedConnectionHandleKeepsTheEnvironment) {
    Database db("accel", "u", "p");
    fake_odbc::set_result_at(Fn::alloc_handle, 2, SQL_ERROR);
    EXPECT_EQ(error_message([&] { db.connect(); }), "Unable to allocate SQL connection handle");
    fake_odbc::clear_calls();
    db.connect();
    EXPECT_EQ(fake_odbc::call_names(),
              (std::vector<std::string>{"SQLAllocHandle", "SQLSetConnectAttr", "SQLConnect"}));
    EXPECT_EQ(fake_odbc::calls()[0].number(0), SQL_HANDLE_DBC);
}

TEST_F(DatabaseTest, RefusedEnvironmentPassesThrough) {
    Database db("accel", "u", "p");
    fake_odbc::set_result_at(Fn::alloc_handle, 1, SQL_ERROR);
    EXPECT_EQ(error_message([&] { db.send_query("SELECT 1 FROM DUAL"); }),
              "Unable to allocate SQL environment handle");
    EXPECT_EQ(fake_odbc::count(Fn::connect), 0);
}

// --- a connection lost under an open Database -------------------------------------------

class LostConnection : public DatabaseTest {
protected:
    // Connects, then lets the server go away unnoticed: the first statement
    // after it fails as on a real driver.
    void SetUp() override {
        DatabaseTest::SetUp();
        { db_.send_query("SELECT 1 FROM DUAL"); }
        dbc_ = fake_odbc::last_handle(SQL_HANDLE_DBC);
        fake_odbc::lose_connection(dbc_);
        const auto error = zel::sql::test::database_error([&] { db_.send_query("SELECT 2"); });
        EXPECT_TRUE(error && error->get_sqlstate() == "08S01");
        EXPECT_TRUE(db_.is_connected());  // nobody knows yet
        fake_odbc::clear_calls();
    }

    void TearDown() override {
        database_.reset();
        DatabaseTest::TearDown();
    }

    std::optional<Database> database_{std::in_place, "accel", "u", "p"};
    Database& db_ = *database_;
    SQLHDBC dbc_ = SQL_NULL_HDBC;
};

TEST_F(LostConnection, NextCallDisconnectsAndConnectsAgainBeforeItsStatement) {
    const std::vector<std::string> relogin = {"SQLGetConnectAttr", "SQLDisconnect", "SQLConnect",
                                              "SQLAllocHandle", "SQLSetStmtAttr"};
    { db_.send_query("SELECT 3"); }
    std::vector<std::string> expected = relogin;
    expected.insert(expected.end(), {"SQLExecDirect", "SQLCancel", "SQLFreeHandle"});
    EXPECT_EQ(fake_odbc::call_names(), expected);
    for (const Fn fn : {Fn::get_connect_attr, Fn::disconnect, Fn::connect}) {
        EXPECT_EQ(fake_odbc::nth_call(fn, 0).handle(), dbc_) << fake_odbc::name_of(fn);
    }
    EXPECT_EQ(fake_odbc::nth_call(Fn::connect, 0).text(0), "accel");
    EXPECT_TRUE(db_.is_connected());

    // get_procedure does the same.
    fake_odbc::lose_connection(dbc_);
    EXPECT_THROW(db_.send_query("SELECT 4"), zel::sql::DatabaseError);
    fake_odbc::clear_calls();
    { db_.get_procedure("{call tavik.p}"); }
    expected = relogin;
    expected.insert(expected.end(), {"SQLCancel", "SQLFreeHandle"});
    EXPECT_EQ(fake_odbc::call_names(), expected);
}

TEST_F(LostConnection, OnlyAnAnsweredDeadCountsAsDead) {
    const struct {
        SQLRETURN code;
        bool logs_in_again;
    } answers[] = {
        {SQL_SUCCESS_WITH_INFO, true}, {SQL_ERROR, false},   {SQL_INVALID_HANDLE, false},
        {SQL_STILL_EXECUTING, false},  {SQL_NO_DATA, false}, {SQL_NEED_DATA, false},
    };
    for (const auto& answer : answers) {
        SCOPED_TRACE(answer.code);
        fake_odbc::queue_result(Fn::get_connect_attr, answer.code,
                                {fake_odbc::Diagnostic("[drv]attribute not supported", "HYC00")});
        const std::string message = error_message([&] {
            db_.send_query("SELECT 5");
            throw zel::Error("statement ran");
        });
        EXPECT_EQ(fake_odbc::count(Fn::get_connect_attr), 1);
        if (answer.logs_in_again) {
            EXPECT_EQ(message, "statement ran");
            EXPECT_EQ(fake_odbc::count(Fn::connect), 1);
            fake_odbc::lose_connection(dbc_);
            EXPECT_THROW(db_.send_query("SELECT 6"), zel::sql::DatabaseError);
        } else {
            // No probe by statement: the statement itself reports the loss.
            EXPECT_EQ(message, "Query failed: [fake_odbc]Communication link failure (SELECT 5)");
            EXPECT_EQ(fake_odbc::count(Fn::connect), 0);
            EXPECT_TRUE(db_.is_connected());
        }
        fake_odbc::clear_calls();
    }
    fake_odbc::clear_calls();  // the scripted SQL_INVALID_HANDLE was on purpose
}

TEST_F(LostConnection, RefusedLoginAgainFailsTheStatementAndSaysWhy) {
    fake_odbc::set_result_at(Fn::connect, 2, SQL_ERROR,
                             {"[drv]the database system is starting up"});
    EXPECT_EQ(error_message([&] { db_.send_query("SELECT 3"); }),
              "Unable to allocate SQL statement handle");
    EXPECT_FALSE(db_.is_connected());
    EXPECT_EQ(db_.get_last_connect_error(), "[drv]the database system is starting up");
    // Unconnected now: the next call connects without asking first.
    fake_odbc::clear_calls();
    { db_.send_query("SELECT 3"); }
    EXPECT_EQ(fake_odbc::count(Fn::get_connect_attr), 0);
    EXPECT_EQ(fake_odbc::count(Fn::connect), 1);
    EXPECT_EQ(db_.get_last_connect_error(), "");
}

TEST_F(DatabaseTest, DestructionFreesStatementThenConnectionThenEnvironment) {
    {
        Database db("accel", "u", "p");
        zel::sql::Query q = db.send_query("SELECT 1 FROM DUAL");
        fake_odbc::clear_calls();
    }
    EXPECT_EQ(fake_odbc::call_names(),
              (std::vector<std::string>{"SQLCancel", "SQLFreeHandle", "SQLDisconnect",
                                        "SQLFreeHandle", "SQLFreeHandle"}));
    const auto frees = fake_odbc::calls_of(Fn::free_handle);
    ASSERT_EQ(frees.size(), 3u);
    EXPECT_EQ(frees[0].number(0), SQL_HANDLE_STMT);
    EXPECT_EQ(frees[1].number(0), SQL_HANDLE_DBC);
    EXPECT_EQ(frees[2].number(0), SQL_HANDLE_ENV);
    for (const auto& f : frees) {
        EXPECT_EQ(f.result, SQL_SUCCESS) << fake_odbc::describe(f.handle());
    }
}

TEST_F(DatabaseTest, DestructionWithoutConnectionFreesTheHandlesWithoutDisconnect) {
    {
        Database db("accel", "u", "p");
        fake_odbc::set_result_at(Fn::connect, 1, SQL_ERROR);
        db.connect();
        fake_odbc::clear_calls();
    }
    EXPECT_EQ(fake_odbc::call_names(),
              (std::vector<std::string>{"SQLFreeHandle", "SQLFreeHandle"}));
}

TEST_F(DatabaseTest, GetProcedureConnectsAndExecutesNothing) {
    Database db("accel", "u", "p");
    {
        zel::sql::Procedure p = db.get_procedure("{call tavik.p(?)}");
        EXPECT_EQ(fake_odbc::count(Fn::connect), 1);
        EXPECT_EQ(fake_odbc::count(Fn::exec_direct), 0);
        p.exec();
        EXPECT_EQ(fake_odbc::nth_call(Fn::exec_direct, 0).text(), "{call tavik.p(?)}");
    }
    { db.get_procedure("{call tavik.p(?)}"); }
    EXPECT_EQ(fake_odbc::count(Fn::connect), 1);
}

// --- read_column_names ----------------------------------------------------------------

TEST_F(DatabaseTest, ReadColumnNamesSendsTheExactTextAndReadsEveryRow) {
    Database db("accel", "u", "p");
    fake_odbc::set_result_set_for(column_names_sql, fake_odbc::ResultSet(1)
                                                        .row({fake_odbc::text("NAME")})
                                                        .row({fake_odbc::null()})
                                                        .row({fake_odbc::text("FLAG_A")}));
    EXPECT_EQ(db.read_column_names("components", "tavik"),
              (std::vector<std::string>{"NAME", "", "FLAG_A"}));
    EXPECT_EQ(db.read_column_names("COMPONENTS", "TAVIK"),
              (std::vector<std::string>{"NAME", "", "FLAG_A"}));
    const auto execs = fake_odbc::calls_of(Fn::exec_direct);
    ASSERT_EQ(execs.size(), 2u);
    EXPECT_EQ(execs[0].text(), column_names_sql);
    EXPECT_EQ(execs[1].text(), column_names_sql);

    const auto binds = fake_odbc::calls_of(Fn::bind_col);
    ASSERT_EQ(binds.size(), 2u);
    EXPECT_EQ(binds[0].number(1), 1);
    EXPECT_EQ(binds[0].number(2), SQL_C_CHAR);
    EXPECT_EQ(binds[0].number(4), 256);
    // Four fetches each (three rows and the end), then the query is gone.
    EXPECT_EQ(fake_odbc::count(Fn::fetch), 8);
    EXPECT_EQ(fake_odbc::calls().back().fn, Fn::free_handle);
    EXPECT_TRUE(fake_odbc::live_handles(SQL_HANDLE_STMT).empty());
}

TEST_F(DatabaseTest, ReadColumnNamesCutsNamesAt255Bytes) {
    Database db("accel", "u", "p");
    fake_odbc::queue_result_set(
        fake_odbc::ResultSet(1).row({fake_odbc::text(std::string(300, 'C'))}));
    EXPECT_EQ(db.read_column_names("t", "o"), (std::vector<std::string>{std::string(255, 'C')}));
}

TEST_F(DatabaseTest, ReadColumnNamesOfAMissingTableIsEmpty) {
    Database db("accel", "u", "p");
    fake_odbc::queue_result_set(fake_odbc::ResultSet(1));
    EXPECT_TRUE(db.read_column_names("no_such_table", "tavik").empty());
}

TEST_F(DatabaseTest, ReadColumnNamesDoublesSingleQuotes) {
    Database db("accel", "u", "p");
    fake_odbc::queue_result_set(fake_odbc::ResultSet(1));
    db.read_column_names("x' OR '1'='1", "o'brien");
    EXPECT_EQ(fake_odbc::nth_call(Fn::exec_direct, 0).text(),
              "SELECT COLUMN_NAME FROM ALL_TAB_COLUMNS WHERE UPPER(OWNER) = 'O''BRIEN' AND "
              "UPPER(TABLE_NAME) = 'X'' OR ''1''=''1'");
}

// Where a backslash escapes the next character (MariaDB, MySQL), a lone one
// would escape the closing quote; in GBK, Big5 or Shift-JIS even a doubled one
// can be taken apart. Such names, and names with a NUL, never reach the
// driver: nothing is connected, nothing is sent.
TEST_F(DatabaseTest, ReadColumnNamesRefusesBackslashesAndNulsBeforeAnySql) {
    struct Case {
        std::string table;
        std::string owner;
        std::string message;
    };
    const Case cases[] = {
        {" OR 1=1 -- ", "\\", "Invalid owner name: \"\\\" (a backslash is not allowed)"},
        {"\xBF\x5C' UNION SELECT 1 --", "TAVIK",
         "Invalid table name: \"\xBF\\' UNION SELECT 1 --\" (a backslash is not allowed)"},
        {std::string("A\0B", 3), "TAVIK", "Invalid table name: \"A\\x00B\""},
        {"COMPONENTS", std::string("TAVIK\0", 6), "Invalid owner name: \"TAVIK\\x00\""},
    };
    for (const Case& c : cases) {
        Database db("accel", "u", "p");
        EXPECT_EQ(error_message([&] { db.read_column_names(c.table, c.owner); }), c.message);
    }
    EXPECT_TRUE(fake_odbc::calls().empty()) << fake_odbc::call_names().size();
}

TEST_F(DatabaseTest, ReadColumnNamesReportsAFailedFetch) {
    Database db("accel", "u", "p");
    fake_odbc::set_result_set_for(
        column_names_sql,
        fake_odbc::ResultSet(1).row({fake_odbc::text("NAME")}).error({"[drv]ORA-01555"}));
    EXPECT_EQ(error_message([&] { db.read_column_names("components", "tavik"); }),
              std::string("Fetch failed: [drv]ORA-01555 (") + column_names_sql + ")");
    EXPECT_TRUE(fake_odbc::live_handles(SQL_HANDLE_STMT).empty());
}

TEST_F(DatabaseTest, ReadColumnNamesPassesQueryErrorsOn) {
    Database db("accel", "u", "p");
    fake_odbc::set_result(Fn::exec_direct, SQL_ERROR, {"[drv]table or view does not exist"});
    EXPECT_EQ(
        error_message([&] { db.read_column_names("components", "tavik"); }),
        std::string("Query failed: [drv]table or view does not exist (") + column_names_sql + ")");
}

}  // namespace
}  // namespace zel::sql::test
