// The Query and Procedure objects of a connection that a timeout gave up, and
// a column reader on such a Query: every call on them throws, and destroying
// them makes no ODBC call, while the
// helper is still blocked on that connection and after it has returned and
// freed it. Run under AddressSanitizer and ThreadSanitizer too: a statement
// that touched its handle here would race with the helper, or use a handle
// the helper has freed.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fake_odbc.h"
#include "fake_odbc_test.h"
#include "odbc/column_reader.h"
#include "zel/Error.h"
#include "zel/sql/Database.h"

namespace zel::sql::test {
namespace {

using fake_odbc::Call;
using fake_odbc::Fn;
using std::chrono::milliseconds;

constexpr milliseconds limit{200};
constexpr milliseconds patience{5000};

const std::string given_up_message =
    "The connection of this statement was given up after the database did not answer; make a "
    "new one";

class GivenUpStatementTest : public FakeOdbcTest {
protected:
    void TearDown() override {
        fake_odbc::release_blocked_call();
        FakeOdbcTest::TearDown();
    }
};

// The message of the zel::Error that `action` throws; empty when it throws
// nothing.
template <typename Action>
std::string error_of(Action&& action) {
    try {
        action();
    } catch (const Error& e) {
        return e.get_message();
    }
    return std::string();
}

// The calls from index `first` on that this thread made on `handle`.
std::vector<std::string> own_calls_on(std::size_t first, SQLHANDLE handle) {
    std::vector<std::string> names;
    for (const Call& call : calls_from(first)) {
        if (call.thread == std::this_thread::get_id() && call.handle() == handle) {
            names.emplace_back(call.name());
        }
    }
    return names;
}

TEST_F(GivenUpStatementTest, StatementsOfTheGivenUpConnectionThrowAndFreeNothing) {
    fake_odbc::set_result_set_for("SELECT 1 FROM DUAL",
                                  fake_odbc::ResultSet(1).row({fake_odbc::text("1")}));
    Database db("accel", "reader", "pw");
    // The set-up must not time out on a busy machine: only the blocked call
    // below waits under the short limit.
    db.set_wait_limit(patience);
    std::optional<Query> destroyed_while_blocked(db.send_query("SELECT 1 FROM DUAL"));
    const SQLHANDLE first_stmt = fake_odbc::last_handle(SQL_HANDLE_STMT);
    std::optional<Query> destroyed_after_return(db.send_query("SELECT 1 FROM DUAL"));
    const SQLHANDLE second_stmt = fake_odbc::last_handle(SQL_HANDLE_STMT);
    std::optional<Procedure> procedure(db.get_procedure("{CALL SET_LIMIT(?)}"));
    const SQLHANDLE procedure_stmt = fake_odbc::last_handle(SQL_HANDLE_STMT);
    // A reader's bindings on the statement, as a reader kept between fetches
    // holds them.
    std::optional<odbc::ColumnReader> reader;
    reader.emplace(*destroyed_while_blocked, std::vector<odbc::ColumnPlan>{{SQL_C_CHAR, 8}});
    ASSERT_TRUE(destroyed_while_blocked->fetch());

    db.set_wait_limit(limit);
    fake_odbc::block_next_call(Fn::fetch);
    const auto timeout = database_error([&] { db.read_column_names("COMPONENTS", "TAVIK"); });
    ASSERT_TRUE(timeout);
    EXPECT_EQ(timeout->get_sqlstate(), "HYT00");
    ASSERT_TRUE(fake_odbc::wait_for_blocked_call(patience));
    const std::size_t after_timeout = fake_odbc::calls().size();

    // While the helper is blocked on the connection.
    char buffer[8];
    double number = 0.0;
    for (const auto& [what, action] : std::vector<std::pair<std::string, std::function<void()>>>{
             {"fetch", [&] { destroyed_while_blocked->fetch(); }},
             {"fetch_checked", [&] { destroyed_while_blocked->fetch_checked(); }},
             {"bind_column", [&] { destroyed_while_blocked->bind_column(1, buffer, 8); }},
             {"get_column_as_double",
              [&] { number = destroyed_while_blocked->get_column_as_double(1, nullptr); }},
             {"get_column_as_string",
              [&] { destroyed_while_blocked->get_column_as_string(1, nullptr); }},
             {"get_num_result_columns", [&] { destroyed_while_blocked->get_num_result_columns(); }},
             {"exec", [&] { procedure->exec(); }},
         }) {
        EXPECT_EQ(error_of(action), given_up_message) << what;
    }
    reader.reset();  // before its Query, which it refers to
    // Moving an inert Query keeps it inert; assigning over one frees nothing.
    Query moved = std::move(*destroyed_while_blocked);
    EXPECT_EQ(error_of([&] { moved.fetch(); }), given_up_message);
    destroyed_while_blocked.reset();
    { Query gone = std::move(moved); }
    procedure.reset();
    for (const SQLHANDLE stmt : {first_stmt, procedure_stmt}) {
        EXPECT_EQ(own_calls_on(after_timeout, stmt), std::vector<std::string>{})
            << fake_odbc::describe(stmt);
        EXPECT_TRUE(fake_odbc::is_live(stmt)) << "freed under the blocked helper";
    }

    // After the helper has returned and freed the connection with its
    // statements.
    const SQLHANDLE hung_env = fake_odbc::last_handle(SQL_HANDLE_ENV);
    fake_odbc::release_blocked_call();
    ASSERT_TRUE(fake_odbc::wait_for_calls(
        [hung_env](const std::vector<Call>& log) {
            for (const Call& call : log) {
                if (call.fn == Fn::free_handle && call.handle() == hung_env) {
                    return true;
                }
            }
            return false;
        },
        patience));
    EXPECT_FALSE(fake_odbc::is_live(second_stmt));
    EXPECT_EQ(error_of([&] { destroyed_after_return->fetch(); }), given_up_message);
    EXPECT_EQ(error_of([&] { destroyed_after_return->is_null(1); }), given_up_message);
    destroyed_after_return.reset();
    for (const SQLHANDLE stmt : {first_stmt, second_stmt, procedure_stmt}) {
        EXPECT_EQ(own_calls_on(after_timeout, stmt), std::vector<std::string>{})
            << fake_odbc::describe(stmt);
    }

    // The Database itself goes on, on a new connection whose statements work.
    db.set_wait_limit(patience);
    Query fresh = db.send_query("SELECT 1 FROM DUAL");
    EXPECT_TRUE(fresh.fetch());
}

// A Query made with the wait limit 0 never meets a given-up connection: its
// calls and its destruction are exactly those of a plain Query.
TEST_F(GivenUpStatementTest, WithoutALimitTheQueryDestroysItsStatementAsUsual) {
    fake_odbc::set_result_set_for("SELECT 1 FROM DUAL",
                                  fake_odbc::ResultSet(1).row({fake_odbc::text("1")}));
    Database db("accel", "reader", "pw");
    db.set_wait_limit(milliseconds(0));
    std::optional<Query> query(db.send_query("SELECT 1 FROM DUAL"));
    const SQLHANDLE stmt = fake_odbc::last_handle(SQL_HANDLE_STMT);
    const std::size_t before = fake_odbc::calls().size();
    query.reset();
    EXPECT_EQ(own_calls_on(before, stmt), (std::vector<std::string>{"SQLCancel", "SQLFreeHandle"}));
}

}  // namespace
}  // namespace zel::sql::test
