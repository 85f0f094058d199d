// Database's transactions against the fake: autocommit stays ODBC's default
// until switched off, the mode reaches every login, commit() and rollback()
// end the transaction with SQLEndTran on the connection, and a transaction
// whose connection ended is never committed in part.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "fake_odbc.h"
#include "fake_odbc_test.h"
#include "zel/sql/Database.h"

namespace zel::sql::test {
namespace {

using fake_odbc::Fn;
using std::chrono::milliseconds;

const std::string insert_sql = "INSERT INTO SETTINGS VALUES (1)";
const std::string lost_message =
    "The transaction was lost with its connection; nothing of it was stored";

class TransactionTest : public FakeOdbcTest {
protected:
    void SetUp() override {
        FakeOdbcTest::SetUp();
        fake_odbc::set_result_set_for(insert_sql, fake_odbc::ResultSet(0));
    }
    void TearDown() override {
        fake_odbc::release_blocked_call();
        FakeOdbcTest::TearDown();
    }
};

// The autocommit values set with SQLSetConnectAttr, in order.
std::vector<long long> autocommit_settings() {
    std::vector<long long> values;
    for (const fake_odbc::Call& call : fake_odbc::calls_of(Fn::set_connect_attr)) {
        if (call.number(1) == SQL_ATTR_AUTOCOMMIT) {
            values.push_back(reinterpret_cast<long long>(call.pointer(2)));
        }
    }
    return values;
}

// The completion types of the SQLEndTran calls, in order.
std::vector<long long> transaction_ends() {
    std::vector<long long> ends;
    for (const fake_odbc::Call& call : fake_odbc::calls_of(Fn::end_tran)) {
        EXPECT_EQ(call.number(0), SQL_HANDLE_DBC);
        EXPECT_EQ(call.handle(), fake_odbc::last_handle(SQL_HANDLE_DBC));
        ends.push_back(call.number(2));
    }
    return ends;
}

const std::vector<milliseconds> limits = {milliseconds(0), milliseconds(15000)};

TEST_F(TransactionTest, AutocommitIsTheDefaultAndCommitAndRollbackThenDoNothing) {
    Database db("accel", "", "");
    EXPECT_TRUE(db.get_autocommit());
    db.send_query(insert_sql);
    db.commit();
    db.rollback();
    EXPECT_TRUE(autocommit_settings().empty());
    EXPECT_EQ(fake_odbc::count(Fn::end_tran), 0);
}

TEST_F(TransactionTest, ManualModeReachesTheLoginAndEndsTransactionsOnTheConnection) {
    for (const milliseconds limit : limits) {
        SCOPED_TRACE(limit.count());
        fake_odbc::reset();
        fake_odbc::set_result_set_for(insert_sql, fake_odbc::ResultSet(0));
        Database db("accel", "", "");
        db.set_wait_limit(limit);
        db.set_autocommit(false);  // not connected: no call yet
        EXPECT_FALSE(db.get_autocommit());
        EXPECT_EQ(fake_odbc::calls().size(), 0u);

        db.send_query(insert_sql);
        // Right after the login, before any statement.
        const std::vector<std::string> names = fake_odbc::call_names();
        ASSERT_GE(names.size(), 6u);
        EXPECT_EQ(names[4], "SQLConnect");
        EXPECT_EQ(names[5], "SQLSetConnectAttr");
        EXPECT_EQ(autocommit_settings(), (std::vector<long long>{SQL_AUTOCOMMIT_OFF}));

        db.commit();
        db.send_query(insert_sql);
        db.rollback();
        EXPECT_EQ(transaction_ends(), (std::vector<long long>{SQL_COMMIT, SQL_ROLLBACK}));

        // Switching on an open connection takes effect at once.
        db.set_autocommit(true);
        EXPECT_EQ(autocommit_settings(),
                  (std::vector<long long>{SQL_AUTOCOMMIT_OFF, SQL_AUTOCOMMIT_ON}));
        db.commit();
        EXPECT_EQ(fake_odbc::count(Fn::end_tran), 2);
    }
}

TEST_F(TransactionTest, DisconnectRollsBackFirst) {
    Database db("accel", "", "");
    db.set_autocommit(false);
    db.send_query(insert_sql);
    fake_odbc::clear_calls();
    db.disconnect();
    EXPECT_EQ(fake_odbc::call_names(), (std::vector<std::string>{"SQLEndTran", "SQLDisconnect"}));
    EXPECT_EQ(fake_odbc::nth_call(Fn::end_tran, 0).number(2), SQL_ROLLBACK);
}

TEST_F(TransactionTest, RefusalsAreDatabaseErrorsWithTheDiagnostics) {
    struct Case {
        std::string what;
        Fn refused;
        std::string message;
    };
    for (const Case& c : std::vector<Case>{
             {"set_autocommit", Fn::set_connect_attr, "Unable to set autocommit: [drv]no"},
             {"commit", Fn::end_tran, "Unable to commit: [drv]no"},
             {"rollback", Fn::end_tran, "Unable to roll back: [drv]no"},
         }) {
        SCOPED_TRACE(c.what);
        fake_odbc::reset();
        fake_odbc::set_result_set_for(insert_sql, fake_odbc::ResultSet(0));
        Database db("accel", "", "");
        db.send_query(insert_sql);
        if (c.what != "set_autocommit") {
            db.set_autocommit(false);
            db.send_query(insert_sql);
        }
        fake_odbc::set_result(c.refused, SQL_ERROR, {fake_odbc::Diagnostic("[drv]no", "25000", 3)});
        const auto error = database_error([&] {
            if (c.what == "set_autocommit") {
                db.set_autocommit(false);
            } else if (c.what == "commit") {
                db.commit();
            } else {
                db.rollback();
            }
        });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->get_message(), c.message);
        EXPECT_EQ(error->get_sqlstate(), "25000");
        EXPECT_EQ(error->get_native_error(), 3);
        EXPECT_EQ(db.get_autocommit(), c.what == "set_autocommit");
        fake_odbc::clear_results(c.refused);
    }
}

TEST_F(TransactionTest, ALoginThatCannotSwitchAutocommitOffIsClosedAgain) {
    Database db("accel", "", "");
    db.set_autocommit(false);
    fake_odbc::set_result_at(Fn::set_connect_attr, 2, SQL_ERROR,
                             {fake_odbc::Diagnostic("[drv]no", "HYC00")});
    const auto error = database_error([&] { db.send_query(insert_sql); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->get_message(), "Unable to set autocommit: [drv]no");
    EXPECT_FALSE(db.is_connected());
    EXPECT_EQ(fake_odbc::count(Fn::exec_direct), 0);
}

TEST_F(TransactionTest, ATransactionWhoseConnectionDiedIsNeverCommittedInPart) {
    Database db("accel", "", "");
    db.set_autocommit(false);
    db.send_query(insert_sql);
    fake_odbc::lose_connection(fake_odbc::last_handle(SQL_HANDLE_DBC));
    EXPECT_THROW(db.send_query(insert_sql), DatabaseError);  // finds the connection lost
    db.send_query(insert_sql);                               // logs in again, in a new transaction
    const auto error = database_error([&] { db.commit(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->get_message(), lost_message);
    EXPECT_EQ(error->get_sqlstate(), "08S01");
    // Only the dead connection was rolled back, before its SQLDisconnect.
    EXPECT_EQ(transaction_ends(), (std::vector<long long>{SQL_ROLLBACK}));
    // Until a rollback, which undoes the new part too.
    EXPECT_THROW(db.commit(), DatabaseError);
    db.rollback();
    db.send_query(insert_sql);
    db.commit();
    EXPECT_EQ(transaction_ends(), (std::vector<long long>{SQL_ROLLBACK, SQL_ROLLBACK, SQL_COMMIT}));
}

TEST_F(TransactionTest, AConnectionLostWithNoStatementSinceTheCommitLosesNothing) {
    Database db("accel", "", "");
    db.set_autocommit(false);
    db.send_query(insert_sql);
    db.commit();
    fake_odbc::lose_connection(fake_odbc::last_handle(SQL_HANDLE_DBC));
    EXPECT_THROW(db.send_query(insert_sql), DatabaseError);  // stores nothing
    db.send_query(insert_sql);
    db.commit();
    EXPECT_EQ(transaction_ends(), (std::vector<long long>{SQL_COMMIT, SQL_ROLLBACK, SQL_COMMIT}));
}

TEST_F(TransactionTest, ACommitWithoutAnAnswerLosesTheTransaction) {
    expect_all_freed_ = false;  // the helper still holds the hung connection
    Database db("accel", "", "");
    db.set_wait_limit(milliseconds(200));
    db.set_autocommit(false);
    db.send_query(insert_sql);
    fake_odbc::block_next_call(Fn::end_tran);
    const auto timeout = database_error([&] { db.commit(); });
    ASSERT_TRUE(timeout);
    EXPECT_EQ(timeout->get_sqlstate(), "HYT00");
    EXPECT_FALSE(db.is_connected());
    const auto lost = database_error([&] { db.commit(); });
    ASSERT_TRUE(lost);
    EXPECT_EQ(lost->get_message(), lost_message);
    // The helper rolls back and frees the connection once the call returns.
    fake_odbc::release_blocked_call();
    EXPECT_TRUE(fake_odbc::wait_for_calls(
        [](const std::vector<fake_odbc::Call>& calls) {
            return !calls.empty() && calls.back().fn == Fn::free_handle &&
                   calls.back().number(0) == SQL_HANDLE_ENV;
        },
        milliseconds(5000)));
}

}  // namespace
}  // namespace zel::sql::test
