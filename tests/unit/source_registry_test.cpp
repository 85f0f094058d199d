// The process-wide state of data sources: the hold-back's arithmetic, when it
// ends, the caps of calls given up, and the time settings a Database refuses.

#include "odbc/source_registry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <regex>
#include <string>

#include "test_support.h"
#include "util/string.h"
#include "zel/Error.h"
#include "zel/sql/Database.h"

namespace zel::sql::test {
namespace {

using detail::SourceRegistry;
using std::chrono::milliseconds;
using std::chrono::minutes;
using std::chrono::seconds;

TEST(HoldBackTest, DoublesAfterEachMissUpToEightMinutesWithoutOverflow) {
    struct Case {
        milliseconds base;
        int misses;
        milliseconds expected;
    };
    const Case cases[] = {
        {seconds{30}, 1, seconds{30}},
        {seconds{30}, 2, seconds{60}},
        {seconds{30}, 4, seconds{240}},
        {seconds{30}, 5, minutes{8}},
        {seconds{30}, 64, minutes{8}},
        {milliseconds{1}, std::numeric_limits<int>::max(), minutes{8}},
        {minutes{20}, 3, minutes{20}},  // a base above the cap stays as it is
        {std::chrono::hours{24}, 64, std::chrono::hours{24}},
        {milliseconds{0}, 5, milliseconds{0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(detail::hold_back_after(c.base, c.misses), c.expected)
            << c.base.count() << " ms, " << c.misses << " misses";
    }
}

class SourceRegistryTest : public ::testing::Test {
protected:
    void SetUp() override { registry.forget_sources_for_tests(); }
    void TearDown() override { registry.forget_sources_for_tests(); }

    SourceRegistry& registry = SourceRegistry::instance();
    const SourceRegistry::Clock::time_point now = SourceRegistry::Clock::now();
};

TEST_F(SourceRegistryTest, MissHoldsBackUntilItsTimeOrTheReturnOfTheCallAndAnAnswerResetsIt) {
    const std::string why = "it did not answer within 15 s at 12:02:35: connect to hb";
    registry.note_miss("hb", seconds{30}, "The database did not answer", why, now);
    const auto refusal = registry.refusal("hb", true, true, now + seconds{29});
    ASSERT_TRUE(refusal);
    EXPECT_TRUE(std::regex_match(
        refusal->message, std::regex("hb is held back until \\d\\d:\\d\\d:\\d\\d \\(" +
                                     std::regex_replace(why, std::regex("[.()]"), "\\$&") + "\\)")))
        << refusal->message;
    EXPECT_FALSE(registry.refusal("hb", false, true, now)) << "hold-back 0 tries every time";
    EXPECT_FALSE(registry.refusal("hb", true, true, now + seconds{31}));
    EXPECT_EQ(registry.state("hb", now).last_error, "The database did not answer");
    EXPECT_NE(registry.state("hb", now).held_back_until, std::chrono::system_clock::time_point{});

    // A second miss in a row doubles; an answer goes back to the base.
    registry.note_miss("hb", seconds{30}, "again", why, now);
    EXPECT_TRUE(registry.refusal("hb", true, true, now + seconds{59}));
    EXPECT_FALSE(registry.refusal("hb", true, true, now + seconds{61}));
    registry.note_answer("hb");
    EXPECT_FALSE(registry.refusal("hb", true, true, now));
    EXPECT_EQ(registry.state("hb", now).last_error, "");
    registry.note_miss("hb", seconds{30}, "again", why, now);
    EXPECT_FALSE(registry.refusal("hb", true, true, now + seconds{31}));

    // The call that was given up returns: the server answers again.
    registry.note_abandoned("hb");
    registry.note_miss("hb", seconds{30}, "again", why, now);
    EXPECT_TRUE(registry.refusal("hb", true, false, now));
    registry.note_abandoned_returned("hb");
    EXPECT_FALSE(registry.refusal("hb", true, true, now));
    EXPECT_EQ(registry.state("hb", now).held_back_until, std::chrono::system_clock::time_point{});
}

TEST_F(SourceRegistryTest, CapsOfCallsGivenUpPerSourceAndPerProcess) {
    for (int i = 0; i < detail::max_abandoned_per_source; ++i) {
        EXPECT_FALSE(registry.refusal("capped", false, true, now)) << i;
        registry.note_abandoned("capped");
    }
    const auto per_source = registry.refusal("capped", false, true, now);
    ASSERT_TRUE(per_source);
    EXPECT_EQ(per_source->message,
              "capped is not tried: 4 calls on it that it did not answer have not returned yet "
              "(at most 4 per data source)");
    EXPECT_FALSE(registry.refusal("capped", false, false, now)) << "no helper, no cap";

    // Three more sources with four calls each reach the process's cap of 16.
    const std::string others[] = {"c1", "c2", "c3"};
    for (const std::string& other : others) {
        for (int i = 0; i < detail::max_abandoned_per_source; ++i) {
            registry.note_abandoned(other);
        }
    }
    const auto per_process = registry.refusal("fresh", false, true, now);
    ASSERT_TRUE(per_process);
    EXPECT_EQ(per_process->message,
              "fresh is not tried: 16 calls that their data sources did not answer have not "
              "returned yet (at most 16 per process)");

    registry.note_abandoned_returned("c1");
    EXPECT_FALSE(registry.refusal("fresh", false, true, now));
    EXPECT_FALSE(registry.refusal("c1", false, true, now));
    EXPECT_TRUE(registry.refusal("capped", false, true, now));
    for (const char* source : {"capped", "c2", "c3"}) {
        for (int i = 0; i < detail::max_abandoned_per_source; ++i) {
            registry.note_abandoned_returned(source);
        }
    }
    for (int i = 1; i < detail::max_abandoned_per_source; ++i) {
        registry.note_abandoned_returned("c1");
    }
    EXPECT_FALSE(registry.refusal("capped", false, true, now));
}

TEST(DatabaseTimeSettingsTest, NegativeOrAboveADayIsRefusedAndNothingChanges) {
    Database db("accel", "reader", "pw");
    const milliseconds day = std::chrono::hours{24};
    for (const milliseconds bad : {milliseconds{-1}, day + milliseconds{1},
                                   milliseconds{std::numeric_limits<milliseconds::rep>::max()},
                                   milliseconds{std::numeric_limits<milliseconds::rep>::min()}}) {
        SCOPED_TRACE(bad.count());
        EXPECT_TRUE(
            zel::util::starts_with(error_message([&] { db.set_wait_limit(bad); }),
                                   "Invalid wait limit: " + std::to_string(bad.count()) + " ms"));
        EXPECT_TRUE(
            zel::util::starts_with(error_message([&] { db.set_hold_back(bad); }),
                                   "Invalid hold-back: " + std::to_string(bad.count()) + " ms"));
        EXPECT_EQ(db.get_wait_limit(), seconds{15});
        EXPECT_EQ(db.get_hold_back(), seconds{30});
    }
    EXPECT_EQ(error_message([&] { db.set_wait_limit(milliseconds{-1}); }),
              "Invalid wait limit: -1 ms");
    for (const milliseconds good : {milliseconds{0}, day}) {
        db.set_wait_limit(good);
        db.set_hold_back(good);
        EXPECT_EQ(db.get_wait_limit(), good);
        EXPECT_EQ(db.get_hold_back(), good);
    }
}

}  // namespace
}  // namespace zel::sql::test
