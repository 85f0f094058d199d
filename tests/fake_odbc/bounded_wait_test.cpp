// Bounded waiting against the fake: a call that hangs is given up within the
// wait limit, its connection is never touched again by the caller and is
// freed once by the helper when the call returns, and the limit 0 keeps
// everything on the caller's thread.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fake_odbc.h"
#include "fake_odbc_test.h"
#include "odbc/bounded_wait.h"
#include "test_support.h"
#include "zel/sql/ComponentList.h"
#include "zel/sql/Database.h"

namespace zel::sql::test {
namespace {

using fake_odbc::Call;
using fake_odbc::Fn;
using std::chrono::milliseconds;
using zel::sql::Database;

constexpr milliseconds limit{200};
constexpr milliseconds patience{5000};

class BoundedWaitTest : public FakeOdbcTest {
protected:
    void TearDown() override {
        // A test that failed half-way must not leave a helper hanging.
        fake_odbc::release_blocked_call();
        FakeOdbcTest::TearDown();
    }
};

const char* const column_names_sql =
    "SELECT COLUMN_NAME FROM ALL_TAB_COLUMNS WHERE UPPER(OWNER) = 'TAVIK' AND "
    "UPPER(TABLE_NAME) = 'COMPONENTS'";

void script_column_names() {
    fake_odbc::set_result_set_for(
        column_names_sql,
        fake_odbc::ResultSet(1).row({fake_odbc::text("NAME")}).row({fake_odbc::text("FLAG_X")}));
}

// How often the log shows `fn` on `handle`, and whether all of them came from
// another thread than this one.
struct Uses {
    int count = 0;
    bool all_from_helpers = true;
};

Uses uses_of(const std::vector<Call>& log, Fn fn, SQLHANDLE handle) {
    Uses uses;
    for (const Call& call : log) {
        if (call.fn == fn && call.handle() == handle) {
            ++uses.count;
            uses.all_from_helpers &= call.thread != std::this_thread::get_id();
        }
    }
    return uses;
}

bool is_freed(const std::vector<Call>& log, SQLHANDLE handle) {
    return std::any_of(log.begin(), log.end(), [handle](const Call& call) {
        return call.fn == Fn::free_handle && call.handle() == handle;
    });
}

// Times `action`, which must throw the timeout of the wait limit.
template <typename Action>
void expect_timeout(Action&& action, const std::string& overdue) {
    const auto start = std::chrono::steady_clock::now();
    const auto error = database_error(action);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(error);
    EXPECT_EQ(error->get_sqlstate(), "HYT00");
    EXPECT_EQ(error->get_message(), "The database did not answer within 200 ms (" + overdue + ")");
    EXPECT_GE(elapsed, limit);
    EXPECT_LT(elapsed, limit + std::chrono::seconds(1));
}

TEST_F(BoundedWaitTest, HungFetchIsGivenUpAndItsConnectionFreedOnceWhenTheCallReturns) {
    script_column_names();
    Database db("accel", "reader", "pw");
    db.set_wait_limit(limit);
    // The next call tries again while the hung one still waits: no hold-back.
    db.set_hold_back(milliseconds{0});
    { db.send_query("SELECT 1 FROM DUAL"); }
    const SQLHANDLE old_env = fake_odbc::last_handle(SQL_HANDLE_ENV);
    const SQLHANDLE old_dbc = fake_odbc::last_handle(SQL_HANDLE_DBC);

    fake_odbc::block_next_call(Fn::fetch);
    expect_timeout([&] { db.read_column_names("COMPONENTS", "TAVIK"); }, "fetch from accel");
    ASSERT_TRUE(fake_odbc::wait_for_blocked_call(patience));
    const SQLHANDLE hung_stmt = fake_odbc::last_handle(SQL_HANDLE_STMT);
    EXPECT_FALSE(db.is_connected());

    // The next call connects anew, on new handles, while the old call hangs.
    // It gets a roomy limit: on a loaded machine its own connect may take
    // longer than the short one, and no timeout is tested here.
    db.set_wait_limit(patience);
    const std::size_t after_timeout = fake_odbc::calls().size();
    EXPECT_EQ(db.read_column_names("COMPONENTS", "TAVIK"),
              (std::vector<std::string>{"NAME", "FLAG_X"}));
    const std::vector<Call> reconnect = calls_from(after_timeout);
    ASSERT_GE(reconnect.size(), 5u);
    EXPECT_EQ(reconnect[0].fn, Fn::alloc_handle);
    EXPECT_EQ(reconnect[0].number(0), SQL_HANDLE_ENV);
    EXPECT_NE(fake_odbc::last_handle(SQL_HANDLE_ENV), old_env);
    EXPECT_NE(fake_odbc::last_handle(SQL_HANDLE_DBC), old_dbc);
    EXPECT_EQ(uses_of(reconnect, Fn::connect, old_dbc).count, 0);
    const auto live = fake_odbc::live_handles(SQL_HANDLE_DBC);
    EXPECT_NE(std::find(live.begin(), live.end(), old_dbc), live.end())
        << "the hung call's connection was freed under it";

    const std::size_t at_release = fake_odbc::calls().size();
    fake_odbc::release_blocked_call();
    ASSERT_TRUE(fake_odbc::wait_for_calls(
        [old_env](const std::vector<Call>& log) { return is_freed(log, old_env); }, patience));

    const std::vector<Call> log = fake_odbc::calls();
    for (const auto& [fn, handle] : {std::pair{Fn::free_handle, hung_stmt},
                                     {Fn::disconnect, old_dbc},
                                     {Fn::free_handle, old_dbc},
                                     {Fn::free_handle, old_env}}) {
        const Uses uses = uses_of(log, fn, handle);
        EXPECT_EQ(uses.count, 1) << fake_odbc::describe(handle);
        EXPECT_TRUE(uses.all_from_helpers) << fake_odbc::describe(handle);
        EXPECT_EQ(uses_of(std::vector<Call>(log.begin(),
                                            log.begin() + static_cast<std::ptrdiff_t>(at_release)),
                          fn, handle)
                      .count,
                  0)
            << "freed before the hung call returned: " << fake_odbc::describe(handle);
    }
    // This thread never touched the hung connection after the timeout.
    for (std::size_t i = after_timeout; i < log.size(); ++i) {
        if (log[i].thread == std::this_thread::get_id()) {
            EXPECT_NE(log[i].handle(), old_dbc);
            EXPECT_NE(log[i].handle(), hung_stmt);
        }
    }
}

TEST_F(BoundedWaitTest, HungLoginIsGivenUpAndTheNextCallLogsInOnNewHandles) {
    Database db("accel", "reader", "pw");
    db.set_wait_limit(limit);
    // The next call tries again while the hung one still waits: no hold-back.
    db.set_hold_back(milliseconds{0});
    fake_odbc::block_next_call(Fn::connect);
    expect_timeout([&] { db.send_query("SELECT 1 FROM DUAL"); }, "connect to accel");
    ASSERT_TRUE(fake_odbc::wait_for_blocked_call(patience));
    const SQLHANDLE hung_dbc = fake_odbc::last_handle(SQL_HANDLE_DBC);
    const SQLHANDLE hung_env = fake_odbc::last_handle(SQL_HANDLE_ENV);

    db.set_wait_limit(patience);  // the next login is not timed, as above
    { db.send_query("SELECT 1 FROM DUAL"); }
    EXPECT_TRUE(db.is_connected());
    EXPECT_NE(fake_odbc::last_handle(SQL_HANDLE_DBC), hung_dbc);

    fake_odbc::release_blocked_call();
    // The environment is freed last: once it is, the helper is done.
    ASSERT_TRUE(fake_odbc::wait_for_calls(
        [hung_env](const std::vector<Call>& log) { return is_freed(log, hung_env); }, patience));
    const Uses freed = uses_of(fake_odbc::calls(), Fn::free_handle, hung_dbc);
    EXPECT_EQ(freed.count, 1);
    EXPECT_TRUE(freed.all_from_helpers);
}

TEST_F(BoundedWaitTest, SlowAnswersThatKeepComingAreNeverCutOff) {
    fake_odbc::ResultSet rows(1);
    for (int i = 0; i < 12; ++i) {
        rows.row({fake_odbc::text("FLAG_" + std::to_string(i))});
    }
    fake_odbc::set_result_set_for(column_names_sql, rows);
    Database db("accel", "reader", "pw");
    // Each answer takes a fifth of the limit, which leaves room for a busy
    // machine; all of them together take well over the limit.
    const milliseconds slow_limit{2000};
    db.set_wait_limit(slow_limit);
    fake_odbc::delay_calls(Fn::fetch, slow_limit / 5);
    EXPECT_EQ(db.read_column_names("COMPONENTS", "TAVIK").size(), 12u);
}

// The calls of the component list load, with the thread that made each.
struct LoggedLoad {
    std::vector<std::string> names;
    bool all_on_this_thread = true;
    bool none_on_this_thread = true;
};

LoggedLoad load_with_limit(milliseconds wait_limit) {
    fake_odbc::reset();
    fake_odbc::set_result_set_for(
        "SELECT COLUMN_NAME FROM ALL_TAB_COLUMNS WHERE UPPER(OWNER) = 'TAVIK' AND "
        "UPPER(TABLE_NAME) = 'MIRAN_VIEW_COMPONENTS'",
        fake_odbc::ResultSet(1).row({fake_odbc::text("FLAG_X")}));
    fake_odbc::queue_result_set(
        fake_odbc::ResultSet(14).row(std::vector<fake_odbc::Value>(14, fake_odbc::text("1"))));
    LoggedLoad logged;
    {
        Database db("accel", "reader", "pw");
        db.set_wait_limit(wait_limit);
        zel::sql::ComponentList list;
        list.read_from_db(db, "MIRAN");
        EXPECT_EQ(list.components_.size(), 1u);
    }
    for (const Call& call : fake_odbc::calls()) {
        logged.names.emplace_back(call.name());
        const bool here = call.thread == std::this_thread::get_id();
        logged.all_on_this_thread &= here;
        logged.none_on_this_thread &= !here;
    }
    return logged;
}

TEST_F(BoundedWaitTest, LimitZeroMakesTheSameCallsOnTheCallersThread) {
    const LoggedLoad unbounded = load_with_limit(milliseconds(0));
    const LoggedLoad bounded = load_with_limit(std::chrono::seconds(15));
    EXPECT_EQ(unbounded.names, bounded.names);
    EXPECT_TRUE(unbounded.all_on_this_thread);
    // Bounded, the load runs on the helper; the destructor's disconnect and
    // frees run here.
    EXPECT_FALSE(bounded.all_on_this_thread);
    EXPECT_FALSE(bounded.none_on_this_thread);
}

// The threads that ran the statements logged from `from` on.
std::vector<std::thread::id> statement_threads(std::size_t from) {
    std::vector<std::thread::id> threads;
    const std::vector<Call> log = fake_odbc::calls();
    for (std::size_t i = from; i < log.size(); ++i) {
        if (log[i].fn == Fn::exec_direct) {
            threads.push_back(log[i].thread);
        }
    }
    return threads;
}

// A helper waits for the next call and takes it; one whose call was given up
// waits again only once that call has returned; idle ones end by themselves.
TEST_F(BoundedWaitTest, HelpersServeTheNextCallsAndEndOnceIdle) {
    ASSERT_TRUE(eventually(patience, [] { return detail::idle_bounded_helpers() == 0; }));
    // Helpers of earlier tests may still be ending: count once they have.
    std::size_t threads = thread_count();
    while (std::this_thread::sleep_for(milliseconds{50}), thread_count() != threads) {
        threads = thread_count();
    }
    script_column_names();
    Database db("accel", "reader", "pw");
    db.set_wait_limit(limit);
    db.set_hold_back(milliseconds{0});
    for (int i = 0; i < 3; ++i) {
        db.read_column_names("COMPONENTS", "TAVIK");
    }
    const std::vector<std::thread::id> served = statement_threads(0);
    ASSERT_EQ(served.size(), 3u);
    EXPECT_NE(served[0], std::this_thread::get_id());
    EXPECT_EQ(served[1], served[0]);
    EXPECT_EQ(served[2], served[0]);
    EXPECT_EQ(detail::idle_bounded_helpers(), 1u);

    fake_odbc::block_next_call(Fn::exec_direct);
    expect_timeout([&] { db.read_column_names("COMPONENTS", "TAVIK"); }, "statement on accel");
    ASSERT_TRUE(fake_odbc::wait_for_blocked_call(patience));
    EXPECT_EQ(detail::idle_bounded_helpers(), 0u) << "the hung helper waits for no call";
    const std::size_t before_next = fake_odbc::calls().size();
    db.read_column_names("COMPONENTS", "TAVIK");
    const std::vector<std::thread::id> next = statement_threads(before_next);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_NE(next[0], served[0]);
    EXPECT_EQ(detail::idle_bounded_helpers(), 1u);

    fake_odbc::release_blocked_call();
    EXPECT_TRUE(eventually(patience, [] { return detail::idle_bounded_helpers() == 2; }));
    EXPECT_TRUE(eventually(
        patience, [&] { return detail::idle_bounded_helpers() == 0 && thread_count() <= threads; }))
        << "idle helpers still run: " << detail::idle_bounded_helpers() << " idle, "
        << thread_count() << " threads, " << threads << " before";
}

TEST_F(BoundedWaitTest, DefaultIsFifteenSecondsAndNegativeLimitsAreRefused) {
    Database db("accel", "reader", "pw");
    EXPECT_EQ(db.get_wait_limit(), std::chrono::seconds(15));
    EXPECT_THROW(db.set_wait_limit(milliseconds(-1)), zel::Error);
    EXPECT_EQ(db.get_wait_limit(), std::chrono::seconds(15));
    db.set_wait_limit(milliseconds(0));
    EXPECT_EQ(db.get_wait_limit(), milliseconds(0));
}

}  // namespace
}  // namespace zel::sql::test
