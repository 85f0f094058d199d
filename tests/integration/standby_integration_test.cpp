// Standbys through the real drivers: a PostgreSQL hot standby streaming from
// its primary and a MariaDB GTID replica, both started by test_env.sh. When
// the primary hangs (SIGSTOP) the reads go on to the standby within the wait
// limit plus a second, and the primary, held back, costs the calls after that
// next to nothing, in every Database of the process; once the primary answers
// again, the Database goes back to it. A primary that refuses is no reason to
// hold it back. When every source hangs, the copies and the backup answer,
// with a message that names each source; without standbys, one hung server
// costs one wait, not one per call.
//
// Every test reaches the pair under data source names of its own (the
// suffixes of [standby pairs] in backends.ini): what the library learns of a
// source is kept by name for the whole process. The tests of one kind of
// server share its pair and never run side by side (ctest's resource lock);
// each one waits for the standby to replay what it committed before it pauses
// anything, and lets every paused server go on, also when it fails.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "backends.h"
#include "sample_lists.h"
#include "server_control.h"
#include "test_support.h"
#include "zel/sql/ComponentList.h"
#include "zel/sql/Database.h"
#include "zel/sql/QueryResult.h"

namespace zel::sql::test::integration {
namespace {

using test::TempWorkingDir;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Short, to keep the run short, yet far above any answer of a live local
// server on a busy machine.
constexpr milliseconds wait_limit{2000};
constexpr Clock::duration return_bound = wait_limit + std::chrono::seconds(1);
// What a held-back source may add to a call.
constexpr Clock::duration skip_allowance = milliseconds(100);
// A refused login fails at once: far less than any wait.
constexpr Clock::duration refusal_allowance = milliseconds(500);

// One kind of server with its replicated pair.
struct Pair {
    const char* name;  // test name suffix
    const char* kind;  // "pg" or "mariadb": the data sources are zel_<kind>_primary<suffix>, ...
    const char* primary_server;  // the servers' names for test_env.sh
    const char* standby_server;
    // Blocks until the standby, reached through `standby`, has replayed all
    // that the primary, reached through `primary`, has committed so far.
    std::function<void(Database& primary, Database& standby)> wait_for_replay;
};

std::string first_value(Database& db, const std::string& sql) {
    Query query = db.send_query(sql);
    if (!query.fetch_checked()) {
        throw std::runtime_error("no row from " + sql);
    }
    return query.get_column_as_string(1, nullptr);
}

void wait_for_pg_replay(Database& primary, Database& standby) {
    // The insert position, not the write position: the servers run with
    // synchronous_commit off, so a commit may still wait in the WAL buffers.
    const std::string lsn = first_value(primary, "SELECT pg_current_wal_insert_lsn()");
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (first_value(standby, "SELECT CASE WHEN pg_last_wal_replay_lsn() >= '" + lsn +
                                    "'::pg_lsn THEN 1 ELSE 0 END") != "1") {
        ASSERT_LT(Clock::now(), deadline) << "the standby did not replay up to " << lsn;
        std::this_thread::sleep_for(milliseconds(20));
    }
}

void wait_for_mariadb_replay(Database& primary, Database& standby) {
    const std::string position = first_value(primary, "SELECT @@gtid_binlog_pos");
    // Within the control connection's wait limit (15 s).
    ASSERT_EQ(first_value(standby, "SELECT MASTER_GTID_WAIT('" + position + "', 10)"), "0")
        << "the replica did not apply " << position << " within 10 s";
}

const Pair postgres_pair{"Postgres", "pg", "primary", "standby", wait_for_pg_replay};
const Pair mariadb_pair{"MariaDb", "mariadb", "mariadb-primary", "mariadb-standby",
                        wait_for_mariadb_replay};

void PrintTo(const Pair& pair, std::ostream* os) {
    *os << pair.name;
}

std::string source(const Pair& pair, const char* role, const std::string& suffix) {
    return std::string("zel_") + pair.kind + "_" + role + suffix;
}

template <typename Result>
Result timed(Clock::duration& took, const std::function<Result()>& call) {
    const auto start = Clock::now();
    Result result = call();
    took = Clock::now() - start;
    return result;
}

long long ms(Clock::duration d) {
    return std::chrono::duration_cast<milliseconds>(d).count();
}

// A facility of its own on the pair, written on the primary through the
// control connections (the sources without suffix): its "view" is a table
// with MIRAN's rows, so that a test can add a component to it.
class Facility {
public:
    Facility(const Pair& pair, std::string name)
        : pair_(pair),
          name_(std::move(name)),
          table_("TAVIK." + name_ + "_VIEW_COMPONENTS"),
          primary_(source(pair, "primary", "").c_str(), reader, reader_password),
          standby_(source(pair, "standby", "").c_str(), reader, reader_password) {
        primary_.send_query("DROP TABLE IF EXISTS " + table_);
        primary_.send_query("CREATE TABLE " + table_ +
                            " AS SELECT * FROM TAVIK.MIRAN_VIEW_COMPONENTS");
        expected_ = expected_miran_list();
        wait_for_replay();
    }

    const std::string& name() const { return name_; }
    std::string backup_file() const { return "db_component_list_" + name_ + ".txt"; }
    std::string names_sql() const { return "SELECT NAME FROM " + table_ + " ORDER BY NAME"; }
    // The list that the database holds now.
    const ComponentList& expected() const { return expected_; }

    // Commits a component on the primary and waits until the standby has it.
    void add_component(const std::string& component) {
        primary_.send_query("INSERT INTO " + table_ + " VALUES ('" + component +
                            "', 'R', 'N2', 'S7', 'G', 'C', 'T', 'Added', 1.5, 2.5, 3.5, 4.5, "
                            "'L', 1, 0, 2)");
        expected_.components_.push_back(
            make_component({component, "R", "N2", "S7", "G", "C", "T", "Added", "L"},
                           {1.5, 2.5, 3.5, 4.5}, {true, false, true}));
        wait_for_replay();
    }

    void wait_for_replay() { pair_.wait_for_replay(primary_, standby_); }

private:
    const Pair& pair_;
    std::string name_;
    std::string table_;
    Database primary_;
    Database standby_;
    ComponentList expected_;
};

// A Database on the pair's sources with `suffix`, the standby added.
std::unique_ptr<Database> open_pair(const Pair& pair, const std::string& suffix) {
    auto db = std::make_unique<Database>(source(pair, "primary", suffix).c_str(), reader,
                                         reader_password);
    db->add_standby(source(pair, "standby", suffix));
    db->set_wait_limit(wait_limit);
    return db;
}

// The slowest of a few healthy list loads: of a new Database (login
// included) and of one that is connected.
struct HealthyTimes {
    Clock::duration new_database{};
    Clock::duration connected{};
};

HealthyTimes measure_healthy(const Pair& pair, const std::string& suffix,
                             const Facility& facility) {
    HealthyTimes times;
    for (int i = 0; i < 3; ++i) {
        auto db = open_pair(pair, suffix);
        for (int call = 0; call < 2; ++call) {
            ComponentList list;
            Clock::duration took{};
            const std::string message = timed<std::string>(
                took, [&] { return list.read_from_db_with_backup(*db, facility.name()); });
            EXPECT_EQ(message, "");
            Clock::duration& slowest = call == 0 ? times.new_database : times.connected;
            slowest = std::max(slowest, took);
        }
    }
    return times;
}

// Waits until the helper threads of the given-up calls have ended, once the
// servers answer again: the process must not exit under them.
void wait_for_threads_back_to(std::size_t before) {
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (threads_at_work() > before) {
        ASSERT_LT(Clock::now(), deadline) << "helpers of given-up calls still run 15 s later";
        std::this_thread::sleep_for(milliseconds(20));
    }
}

// Waits until no source of `db` is held back any more.
void wait_until_none_held_back(const Database& db) {
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    for (;;) {
        bool held_back = false;
        for (const SourceState& state : db.get_source_states()) {
            held_back =
                held_back || state.held_back_until != std::chrono::system_clock::time_point{};
        }
        if (!held_back) {
            return;
        }
        ASSERT_LT(Clock::now(), deadline) << "a source is still held back 15 s after it answers";
        std::this_thread::sleep_for(milliseconds(20));
    }
}

class Standby : public ::testing::TestWithParam<Pair> {
protected:
    const Pair& pair() const { return GetParam(); }
};

// --- the primary hangs mid-session ---------------------------------------------

TEST_P(Standby, PrimaryHungMidSessionStandbyAnswersPrimaryHeldBackThenBack) {
    const std::string suffix = "_hung";
    const std::string primary = source(pair(), "primary", suffix);
    const std::string standby = source(pair(), "standby", suffix);
    TempWorkingDir scratch;
    Facility facility(pair(), "HA_HUNG");
    const HealthyTimes healthy = measure_healthy(pair(), suffix, facility);

    auto db = open_pair(pair(), suffix);
    ComponentList first;
    ASSERT_EQ(first.read_from_db_with_backup(*db, facility.name()), "");
    ASSERT_EQ(db->get_serving_source(), primary);
    facility.add_component("ADDED_BEFORE_THE_STOP");
    {
        ServerPause pause(pair().primary_server);

        ComponentList list;
        Clock::duration took{};
        EXPECT_EQ(timed<std::string>(
                      took, [&] { return list.read_from_db_with_backup(*db, facility.name()); }),
                  "");
        EXPECT_LT(took, return_bound) << ms(took) << " ms";
        EXPECT_EQ(list, facility.expected());
        EXPECT_EQ(db->get_serving_source(), standby);
        ComponentList backup;
        backup.read_from_file(facility.backup_file());
        EXPECT_EQ(backup, facility.expected()) << "the standby's list is the backup";

        const QueryResult rows = db->read_with_cache(facility.names_sql());
        EXPECT_FALSE(rows.from_cache) << rows.message;
        EXPECT_EQ(rows.served_by, standby);
        EXPECT_EQ(rows.rows.size(), facility.expected().components_.size());

        const std::vector<SourceState> states = db->get_source_states();
        ASSERT_EQ(states.size(), 2u);
        EXPECT_EQ(states[0].data_source, primary);
        EXPECT_GT(states[0].held_back_until, std::chrono::system_clock::now());
        EXPECT_THAT(states[0].last_error, HasSubstr(primary));
        EXPECT_EQ(states[1].data_source, standby);
        EXPECT_EQ(states[1].held_back_until, std::chrono::system_clock::time_point{});
        EXPECT_EQ(states[1].last_error, "");

        // Ten calls: five more on this Database, then five on a new one,
        // whose first call logs in; none waits for the primary again.
        auto second = open_pair(pair(), suffix);
        for (int call = 0; call < 10; ++call) {
            Database& on = call < 5 ? *db : *second;
            const Clock::duration bound =
                (call == 5 ? healthy.new_database : healthy.connected) + skip_allowance;
            ComponentList again;
            EXPECT_EQ(
                timed<std::string>(
                    took, [&] { return again.read_from_db_with_backup(on, facility.name()); }),
                "");
            EXPECT_LE(took, bound) << "call " << call << ": " << ms(took) << " ms, healthy "
                                   << ms(bound - skip_allowance) << " ms";
            EXPECT_EQ(again, facility.expected()) << "call " << call;
        }
        EXPECT_EQ(second->read_with_cache(facility.names_sql()).served_by, standby);
    }
    // Going on, the primary answers the call that was abandoned on it; then
    // it is no longer held back, and the next call is its own.
    wait_until_none_held_back(*db);
    const QueryResult back = db->read_with_cache(facility.names_sql());
    EXPECT_FALSE(back.from_cache) << back.message;
    EXPECT_EQ(back.served_by, primary);
    EXPECT_EQ(db->get_serving_source(), primary);
}

// --- the primary refuses --------------------------------------------------------

TEST_P(Standby, PrimaryShutDownStandbyAnswersAtOnceNothingHeldBack) {
    const std::string suffix = "_refused";
    const std::string primary = source(pair(), "primary", suffix);
    const std::string standby = source(pair(), "standby", suffix);
    TempWorkingDir scratch;
    Facility facility(pair(), "HA_REFUSED");
    const HealthyTimes healthy = measure_healthy(pair(), suffix, facility);
    ServerHalt halt(pair().primary_server);

    for (int call = 0; call < 3; ++call) {
        auto db = open_pair(pair(), suffix);
        ComponentList list;
        Clock::duration took{};
        EXPECT_EQ(timed<std::string>(
                      took, [&] { return list.read_from_db_with_backup(*db, facility.name()); }),
                  "");
        EXPECT_LE(took, healthy.new_database + refusal_allowance) << ms(took) << " ms";
        EXPECT_EQ(list, facility.expected());
        EXPECT_EQ(db->get_serving_source(), standby);
        EXPECT_EQ(db->read_with_cache(facility.names_sql()).served_by, standby);

        const std::vector<SourceState> states = db->get_source_states();
        ASSERT_EQ(states.size(), 2u);
        for (const SourceState& state : states) {
            EXPECT_EQ(state.held_back_until, std::chrono::system_clock::time_point{})
                << state.data_source << " is held back: " << state.last_error;
        }
        EXPECT_NE(states[0].last_error, "") << "the refusal is recorded";
        EXPECT_EQ(states[1].last_error, "");
    }
}

// --- every source hangs ----------------------------------------------------------

TEST_P(Standby, EverySourceHungCopiesAndBackupNameEachSource) {
    const std::string suffix = "_all_hung";
    const std::string primary = source(pair(), "primary", suffix);
    const std::string standby = source(pair(), "standby", suffix);
    TempWorkingDir scratch;
    Facility facility(pair(), "HA_ALL_HUNG");
    auto db = open_pair(pair(), suffix);
    ComponentList first;
    ASSERT_EQ(first.read_from_db_with_backup(*db, facility.name()), "");
    const QueryResult stored = db->read_with_cache(facility.names_sql());
    ASSERT_FALSE(stored.from_cache) << stored.message;
    ASSERT_EQ(stored.served_by, primary);
    backup_only_list().write_to_file(facility.backup_file());

    const std::size_t threads_before = threads_at_work();
    {
        ServerPause primary_pause(pair().primary_server);
        ServerPause standby_pause(pair().standby_server);

        ComponentList list;
        Clock::duration took{};
        const std::string message = timed<std::string>(
            took, [&] { return list.read_from_db_with_backup(*db, facility.name()); });
        EXPECT_LT(took, 2 * wait_limit + std::chrono::seconds(1)) << ms(took) << " ms";
        EXPECT_EQ(list, backup_only_list());
        EXPECT_THAT(message, HasSubstr(primary));
        EXPECT_THAT(message, HasSubstr(standby));
        EXPECT_LT(message.find(primary), message.find(standby))
            << "in the order tried: " << message;

        // Both held back now: the copy at once, stored under the primary's name.
        const QueryResult copy =
            timed<QueryResult>(took, [&] { return db->read_with_cache(facility.names_sql()); });
        EXPECT_LT(took, 2 * skip_allowance + milliseconds(300)) << ms(took) << " ms";
        EXPECT_TRUE(copy.from_cache);
        EXPECT_EQ(copy.served_by, "");
        EXPECT_EQ(copy.rows, stored.rows);
        EXPECT_THAT(copy.message, HasSubstr(primary));
        EXPECT_THAT(copy.message, HasSubstr(standby));
    }
    wait_until_none_held_back(*db);
    wait_for_threads_back_to(threads_before);
}

// --- without standbys --------------------------------------------------------------

// Ten reads of a control program's start, each of its own copy: one wait for
// the hung server, not ten.
TEST_P(Standby, WithoutStandbysHungServerCostsOneWaitForTenReads) {
    const std::string primary = source(pair(), "primary", "_alone");
    TempWorkingDir scratch;
    Database db(primary.c_str(), reader, reader_password);
    db.set_wait_limit(wait_limit);
    std::vector<std::string> sqls;
    std::vector<QueryResult> stored;
    for (int i = 0; i < 10; ++i) {
        sqls.push_back("SELECT NAME, " + std::to_string(i) +
                       " AS N FROM TAVIK.MIRAN_VIEW_COMPONENTS ORDER BY NAME");
        stored.push_back(db.read_with_cache(sqls.back()));
        ASSERT_FALSE(stored.back().from_cache) << stored.back().message;
    }

    const std::size_t threads_before = threads_at_work();
    {
        ServerPause pause(pair().primary_server);
        const auto start = Clock::now();
        for (std::size_t i = 0; i < sqls.size(); ++i) {
            const QueryResult copy = db.read_with_cache(sqls[i]);
            EXPECT_TRUE(copy.from_cache) << "read " << i;
            EXPECT_EQ(copy.rows, stored[i].rows) << "read " << i;
            EXPECT_EQ(copy.served_by, "") << "read " << i;
        }
        const auto took = Clock::now() - start;
        EXPECT_LE(took, wait_limit + std::chrono::seconds(2)) << ms(took) << " ms for ten reads";
    }
    wait_until_none_held_back(db);
    wait_for_threads_back_to(threads_before);
}

INSTANTIATE_TEST_SUITE_P(Pairs, Standby, ::testing::Values(postgres_pair, mariadb_pair),
                         BackendName());

}  // namespace
}  // namespace zel::sql::test::integration
