// Standbys and the hold-back against the fake: which source each call
// connects to, a source held back after a miss getting no SQLConnect at all,
// the way back to the primary, the refused login's SQLSTATE, and one error
// that names every source when none answers.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "fake_odbc.h"
#include "fake_odbc_test.h"
#include "odbc/source_registry.h"
#include "test_support.h"
#include "util/string.h"
#include "zel/Error.h"
#include "zel/sql/Database.h"

namespace zel::sql::test {
namespace {

using fake_odbc::Call;
using fake_odbc::Fn;
using std::chrono::milliseconds;

const std::string sql = "SELECT NAME FROM SUPPLIES";
constexpr milliseconds limit{200};
constexpr milliseconds patience{5000};

class StandbyTest : public FakeOdbcTest {
protected:
    void SetUp() override {
        FakeOdbcTest::SetUp();
        fake_odbc::set_result_set_for(
            sql, fake_odbc::ResultSet(1).names({"NAME"}).row({fake_odbc::text("PS_Q1")}));
    }
    void TearDown() override {
        // A given-up helper frees its environment last, once its call returns.
        fake_odbc::release_blocked_call();
        EXPECT_TRUE(fake_odbc::wait_for_calls(every_environment_freed, patience));
        FakeOdbcTest::TearDown();
    }

    static bool every_environment_freed(const std::vector<Call>& log) {
        int open = 0;
        for (const Call& call : log) {
            if (call.fn == Fn::alloc_handle && call.number(0) == SQL_HANDLE_ENV) {
                ++open;
            } else if (call.fn == Fn::free_handle && call.number(0) == SQL_HANDLE_ENV) {
                --open;
            }
        }
        return open == 0;
    }

    // A Database on "prim" with the standby "stby", its copies in dir_.
    std::unique_ptr<Database> make_db(milliseconds wait_limit = limit) {
        auto db = std::make_unique<Database>("prim", "reader", "pw");
        db->add_standby("stby");
        db->set_wait_limit(wait_limit);
        db->get_cache().set_folder(dir_.file("cache"));
        return db;
    }

    TempDir dir_;
};

// The data source of every SQLConnect and the disconnects between them.
std::vector<std::string> connects_in(const std::vector<Call>& log) {
    std::vector<std::string> seen;
    for (const Call& call : log) {
        if (call.fn == Fn::connect) {
            seen.push_back("connect " + call.text(0));
        } else if (call.fn == Fn::disconnect) {
            seen.push_back("disconnect");
        }
    }
    return seen;
}

const std::chrono::system_clock::time_point epoch{};

TEST_F(StandbyTest, HungPrimaryIsHeldBackForEveryDatabaseAndServesAgainOnceItsCallReturns) {
    auto db = make_db();
    EXPECT_EQ(db->get_data_sources(), (std::vector<std::string>{"prim", "stby"}));
    EXPECT_EQ(db->get_serving_source(), "");
    fake_odbc::block_next_call(Fn::connect);

    const QueryResult first = db->read_with_cache(sql);
    EXPECT_EQ(first.served_by, "stby");
    EXPECT_FALSE(first.from_cache);
    EXPECT_EQ(first.message, "");
    EXPECT_EQ(db->get_serving_source(), "stby");
    ASSERT_TRUE(fake_odbc::wait_for_blocked_call(patience));

    const std::vector<SourceState> states = db->get_source_states();
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[0].data_source, "prim");
    EXPECT_GT(states[0].held_back_until, std::chrono::system_clock::now());
    EXPECT_EQ(states[0].last_error, "The database did not answer within 200 ms (connect to prim)");
    EXPECT_EQ(states[1].held_back_until, epoch);
    EXPECT_EQ(states[1].last_error, "");

    // A second Database of the process pays no wait: the held-back primary
    // gets no SQLConnect (the hung one is logged only once it returns).
    auto other = make_db();
    EXPECT_EQ(other->read_with_cache(sql).served_by, "stby");
    EXPECT_EQ(db->read_with_cache(sql).served_by, "stby");
    EXPECT_EQ(connects_in(fake_odbc::calls()),
              (std::vector<std::string>{"connect stby", "connect stby"}));

    // The hung call returns: the hold-back ends, and the next operation of
    // the Database on the standby goes back to the primary and stays there.
    // The helper frees its environment last; only then may this thread read the log.
    fake_odbc::release_blocked_call();
    ASSERT_TRUE(fake_odbc::wait_for_calls(
        [](const std::vector<Call>& log) {
            for (const Call& call : log) {
                if (call.fn == Fn::free_handle && call.number(0) == SQL_HANDLE_ENV &&
                    call.thread != std::this_thread::get_id()) {
                    return true;
                }
            }
            return false;
        },
        patience));
    EXPECT_EQ(db->get_source_states()[0].held_back_until, epoch);
    const std::size_t before = fake_odbc::calls().size();
    EXPECT_EQ(db->read_with_cache(sql).served_by, "prim");
    EXPECT_EQ(db->read_with_cache(sql).served_by, "prim");
    EXPECT_EQ(connects_in(calls_from(before)),
              (std::vector<std::string>{"disconnect", "connect prim"}));
}

TEST_F(StandbyTest, CopyStoredFromTheStandbyServesUnderThePrimarysNameWhenNoSourceAnswers) {
    const fake_odbc::Diagnostic refused("[drv]could not connect to server", "08001");
    fake_odbc::queue_result(Fn::connect, SQL_ERROR, {refused});
    {
        auto db = make_db();
        EXPECT_EQ(db->read_with_cache(sql).served_by, "stby");
        // A refused login is not held back.
        EXPECT_EQ(db->get_source_states()[0].held_back_until, epoch);
        EXPECT_EQ(db->get_source_states()[0].last_error, "[drv]could not connect to server");
    }
    fake_odbc::set_result(Fn::connect, SQL_ERROR, {refused});
    for (const milliseconds wait_limit : {milliseconds{0}, limit}) {
        SCOPED_TRACE(wait_limit.count());
        auto db = make_db(wait_limit);
        const QueryResult copy = db->read_with_cache(sql);
        EXPECT_TRUE(copy.from_cache);
        EXPECT_EQ(copy.served_by, "");
        EXPECT_EQ(copy.rows.size(), 1u);
        EXPECT_EQ(copy.message,
                  "prim: Unable to connect: [drv]could not connect to server; "
                  "stby: Unable to connect: [drv]could not connect to server");
    }
}

TEST_F(StandbyTest, EverySourceFailingGivesOneErrorNamingEachThenTheCopys) {
    fake_odbc::set_result(Fn::connect, SQL_ERROR, {{"[drv]no such user", "28000"}});
    auto db = make_db();
    const auto error = database_error([&db] { db->read_with_cache(sql); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->get_sqlstate(), "28000");
    EXPECT_TRUE(
        zel::util::starts_with(error->get_message(),
                               "prim: Unable to connect: [drv]no such user; stby: Unable to "
                               "connect: [drv]no such user; "))
        << error->get_message();
}

// One source: the refused or timed-out login keeps its message, now with the
// login's SQLSTATE; a timed-out one is held back unless the hold-back is 0.
TEST_F(StandbyTest, OneSourcesLoginFailureKeepsItsMessageAndOnlyATimeoutIsHeldBack) {
    struct Case {
        const char* sqlstate;
        milliseconds hold_back;
        std::size_t connects;  // after two reads
    };
    const Case cases[] = {
        {"08001", milliseconds{30000}, 2},
        {"28000", milliseconds{30000}, 2},
        {"HYT00", milliseconds{30000}, 1},
        {"HYT00", milliseconds{0}, 2},
    };
    for (const Case& c : cases) {
        for (const milliseconds wait_limit : {milliseconds{0}, limit}) {
            SCOPED_TRACE(std::string(c.sqlstate) + " hold-back " +
                         std::to_string(c.hold_back.count()) + " limit " +
                         std::to_string(wait_limit.count()));
            fake_odbc::reset();
            detail::SourceRegistry::instance().forget_sources_for_tests();
            fake_odbc::set_result(Fn::connect, SQL_ERROR, {{"[drv]login failed", c.sqlstate}});
            Database db("accel", "reader", "pw");
            db.set_wait_limit(wait_limit);
            db.set_hold_back(c.hold_back);
            const auto first = database_error([&db] { db.read_column_names("T", "O"); });
            ASSERT_TRUE(first);
            EXPECT_EQ(first->get_message(), "Unable to allocate SQL statement handle");
            EXPECT_EQ(first->get_sqlstate(), c.sqlstate);
            EXPECT_EQ(db.get_last_connect_error(), "[drv]login failed");

            const auto second = database_error([&db] { db.read_column_names("T", "O"); });
            ASSERT_TRUE(second);
            EXPECT_EQ(fake_odbc::calls_of(Fn::connect).size(), c.connects);
            if (c.connects == 1) {
                EXPECT_EQ(second->get_sqlstate(), "HYT00");
                EXPECT_TRUE(std::regex_match(
                    second->get_message(),
                    std::regex("accel is held back until \\d\\d:\\d\\d:\\d\\d \\(its login "
                               "timed out at \\d\\d:\\d\\d:\\d\\d: \\[drv\\]login failed\\)")))
                    << second->get_message();
            } else {
                EXPECT_EQ(second->get_message(), first->get_message());
            }
        }
    }
}

TEST_F(StandbyTest, HungSourceIsHeldBackWithAMessageThatSaysUntilWhenAndWhy) {
    Database db("accel", "reader", "pw");
    db.set_wait_limit(limit);
    fake_odbc::block_next_call(Fn::connect);
    EXPECT_TRUE(database_error([&db] { db.send_query("SELECT 1"); }));
    const auto skipped = database_error([&db] { db.send_query("SELECT 1"); });
    ASSERT_TRUE(skipped);
    EXPECT_EQ(skipped->get_sqlstate(), "HYT00");
    EXPECT_TRUE(std::regex_match(
        skipped->get_message(),
        std::regex("accel is held back until \\d\\d:\\d\\d:\\d\\d \\(it did not answer within "
                   "200 ms at \\d\\d:\\d\\d:\\d\\d: connect to accel\\)")))
        << skipped->get_message();
    EXPECT_TRUE(fake_odbc::calls_of(Fn::connect).empty());
}

std::size_t entries_of(const char* folder) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) {
        ++count;
    }
    return count;
}

TEST_F(StandbyTest, GivenUpHelperGivesItsThreadAndDescriptorsBackOnceItsCallReturns) {
    // Helpers of earlier tests may still be ending: count once they have.
    std::size_t tasks = threads_at_work();
    while (std::this_thread::sleep_for(milliseconds{20}), threads_at_work() != tasks) {
        tasks = threads_at_work();
    }
    const std::size_t descriptors = entries_of("/proc/self/fd");
    {
        Database db("accel", "reader", "pw");
        db.set_wait_limit(limit);
        fake_odbc::block_next_call(Fn::connect);
        EXPECT_TRUE(database_error([&db] { db.send_query("SELECT 1"); }));
        ASSERT_TRUE(fake_odbc::wait_for_blocked_call(patience));
        EXPECT_EQ(threads_at_work(), tasks + 1);
        EXPECT_EQ(db.get_source_states()[0].given_up_calls, 1);
    }
    fake_odbc::release_blocked_call();
    EXPECT_TRUE(eventually(patience, [&] { return threads_at_work() <= tasks; }));
    EXPECT_EQ(entries_of("/proc/self/fd"), descriptors);
    const SourceState after = Database("accel", "", "").get_source_states()[0];
    EXPECT_EQ(after.held_back_until, epoch);
    EXPECT_EQ(after.given_up_calls, 0);
}

TEST_F(StandbyTest, StatementOfSendQueryIsNeverRunAgainOnAStandby) {
    auto db = make_db();
    { db->send_query("SELECT 1"); }
    fake_odbc::queue_result(Fn::exec_direct, SQL_ERROR,
                            {{"[drv]server closed the connection", "08S01"}});
    const auto error = database_error([&db] { db->send_query("UPDATE T SET A = 1"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->get_sqlstate(), "08S01");
    EXPECT_EQ(fake_odbc::calls_of(Fn::exec_direct).size(), 2u);
    EXPECT_EQ(connects_in(fake_odbc::calls()), (std::vector<std::string>{"connect prim"}));
}

TEST_F(StandbyTest, RandomOrderIsShuffledOncePerDatabasePrimaryIncluded) {
    detail::seed_source_order_for_tests(20261211);
    std::map<std::string, int> first_served;
    for (int i = 0; i < 30; ++i) {
        Database db("a", "", "");
        db.add_standby("b");
        db.add_standby("c");
        db.set_wait_limit(milliseconds{0});
        db.set_source_order(SourceOrder::random);
        EXPECT_EQ(db.get_data_sources(), (std::vector<std::string>{"a", "b", "c"}));
        db.connect();
        const std::string serving = db.get_serving_source();
        ++first_served[serving];
        db.disconnect();
        db.connect();
        EXPECT_EQ(db.get_serving_source(), serving) << "shuffled once per Database";
    }
    for (const char* source : {"a", "b", "c"}) {
        EXPECT_GE(first_served[source], 3) << source;
    }
    Database listed("a", "", "");
    listed.add_standby("b");
    listed.connect();
    EXPECT_EQ(listed.get_serving_source(), "a");
}

TEST_F(StandbyTest, SqlTextWithANulIsRefusedBeforeAnythingIsSentOrStored) {
    const std::string text("SELECT 1 AS a\0; SELECT 2", 24);
    auto db = make_db();
    const std::vector<std::function<void()>> entries{
        [&] { db->send_query(text); },
        [&] { db->get_procedure(text); },
        [&] { db->read_with_cache(text); },
        [&] { db->read_with_cache(text, CachePolicy::cache_only); },
    };
    for (const auto& entry : entries) {
        EXPECT_TRUE(zel::util::starts_with(error_message(entry), "Invalid SQL text: "));
    }
    EXPECT_TRUE(fake_odbc::calls().empty());
    EXPECT_TRUE(dir_.entries().empty());
}

}  // namespace
}  // namespace zel::sql::test
