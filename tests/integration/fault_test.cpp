// Faults around loading a component list through the real driver manager: a
// server killed in the middle of a load, a server restarted under a Database
// that stays in use, a session ended by the server, a view that vanishes, backup files that are
// damaged or cannot be opened, and a backup write that fails part way. Each test asserts that
// nothing is lost (the list, the backup file byte for byte, no stray files) and that the message
// says why.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "backend_fixture.h"
#include "backends.h"
#include "component_printer.h"
#include "connections.h"
#include "folder_snapshot.h"
#include "odbc_call_counter.h"
#include "sample_lists.h"
#include "server_control.h"
#include "test_support.h"
#include "zel/Error.h"
#include "zel/sql/ComponentList.h"
#include "zel/sql/Database.h"
#include "zel/sql/DatabaseError.h"

namespace zel::sql::test::integration {
namespace {

using test::error_message;
using test::read_file;
using test::run_with_file_size_limit;
using test::TempWorkingDir;
using test::write_file;
using ::testing::AnyOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// A data source that no driver manager knows: every load fails at once with
// "Unable to allocate SQL statement handle", so the backup file decides.
const char* const no_database = "zel_no_such_dsn";
const char* const no_database_message = "Unable to allocate SQL statement handle";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// The first value of the first row of `sql`, as text.
std::string single_value(Database& db, const std::string& sql) {
    Query query = db.send_query(sql);
    if (!query.fetch_checked()) {
        throw Error("no row from " + sql);
    }
    return query.get_column_as_string(1, nullptr);
}

// --- a server killed in the middle of a load ---------------------------------

// The data sources "zel_pg_kill" and "zel_mariadb_kill" read from servers
// named "kill", which no other test uses. Each row of SLOW_VIEW_COMPONENTS
// takes 50 ms and counts itself in a sequence. psqlODBC reads through a
// server-side cursor, two rows per round trip, so the kill ends a fetch;
// MariaDB Connector/ODBC reads the whole result while it executes the
// statement, so there the kill ends the execution.
const char* const slow_backup = "db_component_list_SLOW.txt";
const char* const slow_statement =
    " (SELECT NAME, REAL_NAME, NAME2, SECTION, GROUP_, CLASS, TYPE_, FRIENDLY_NAME, X, Y, Z, S, "
    "LINK_NAME, FLAG_MAIN_BEAM FROM TAVIK.SLOW_VIEW_COMPONENTS)";

// How to watch and kill a load on one kind of server.
struct KillTarget {
    const char* server;       // for crash_server and resume_server
    const char* failure;      // how the message of the failed load starts
    const char* data_source;  // of the load and of the watcher
    const char* progress;     // the number of rows computed, growing by one per row
    const char* connection;   // the id by which the loading connection is killed
};

const KillTarget pg_kill{"kill", "Fetch failed: ", "zel_pg_kill",
                         "SELECT last_value FROM tavik.slow_progress", "SELECT pg_backend_pid()"};
const KillTarget mariadb_kill{"mariadb-kill", "Query failed: ", "zel_mariadb_kill",
                              "SELECT next_not_cached_value FROM TAVIK.SLOW_PROGRESS",
                              "SELECT CONNECTION_ID()"};

long rows_computed(Database& db, const KillTarget& target) {
    return std::stol(single_value(db, target.progress));
}

// Waits on another thread until the server has computed six more rows of the
// slow view than `watcher` saw before (the load is past its first fetches,
// with 34 of its 40 rows to go), then runs `kill` with the watcher. The
// future holds "" once `kill` ran, or why it did not.
std::future<std::string> kill_in_the_middle(std::unique_ptr<Database> watcher,
                                            const KillTarget& target,
                                            std::function<void(Database& watcher)> kill) {
    const long start = rows_computed(*watcher, target);
    return std::async(std::launch::async, [watcher = std::move(watcher), &target, start, kill]() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        try {
            while (rows_computed(*watcher, target) < start + 6) {
                if (std::chrono::steady_clock::now() > deadline) {
                    return std::string("the load never got going");
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            kill(*watcher);
        } catch (const Error& e) {
            return "watching failed: " + e.get_message();
        }
        return std::string();
    });
}

TEST(ServerKilledMidLoad, LoadFailsAndTheBackupStaysIntact) {
    enum class Fault { kill_connection, crash_server };
    const struct {
        const char* what;
        const KillTarget& target;
        Fault fault;
        ::testing::Matcher<std::string> diagnostics;
    } faults[] = {
        // A killed process says nothing; the driver sees the socket close.
        {"PostgreSQL backend killed with SIGKILL", pg_kill, Fault::kill_connection,
         HasSubstr("server closed the connection unexpectedly")},
        // A server shut down at once may tell its clients first.
        {"PostgreSQL server shut down at once", pg_kill, Fault::crash_server,
         AnyOf(HasSubstr("server closed the connection unexpectedly"),
               HasSubstr("immediate shutdown"))},
        // The server closes the connection without a word in both cases.
        {"MariaDB connection ended with KILL", mariadb_kill, Fault::kill_connection,
         HasSubstr("Lost connection to server during query")},
        {"MariaDB server killed with SIGKILL", mariadb_kill, Fault::crash_server,
         HasSubstr("Lost connection to server during query")},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.what);
        const KillTarget& target = fault.target;
        resume_server(target.server);
        wait_for_login(target.data_source);
        TempWorkingDir scratch;
        backup_only_list().write_to_file(slow_backup);
        const auto before = folder_snapshot(".");

        Database db(target.data_source, reader, reader_password);
        const std::string connection = single_value(db, target.connection);
        std::future<std::string> killer = kill_in_the_middle(
            std::make_unique<Database>(target.data_source, reader, reader_password), target,
            [&](Database& watcher) {
                if (fault.fault == Fault::crash_server) {
                    crash_server(target.server);
                } else if (&target == &pg_kill) {
                    ::kill(std::stoi(connection), SIGKILL);
                } else {
                    watcher.send_query("KILL " + connection);
                }
            });
        ComponentList list;
        const std::string message = list.read_from_db_with_backup(db, "slow");
        ASSERT_EQ(killer.get(), "");

        EXPECT_THAT(message, StartsWith(target.failure));
        EXPECT_THAT(message, fault.diagnostics);
        EXPECT_THAT(message, EndsWith(slow_statement));
        EXPECT_EQ(list, backup_only_list()) << "not the rows before the kill";
        EXPECT_EQ(folder_snapshot("."), before);
    }
    resume_server(pg_kill.server);
    resume_server(mariadb_kill.server);
}

// --- a server restarted under a Database that stays in use ---------------------

// Cluster "restart" belongs to this test alone.
TEST(ServerRestart, ReusedDatabaseLogsInAgainByItselfAndNothingIsLost) {
    const char* const data_source = "zel_pg_restart";
    resume_server("restart");
    wait_for_login(data_source);
    TempWorkingDir scratch;
    Database db(data_source, reader, reader_password);
    const OdbcCallCounts before_first_load = odbc_call_counts();
    ComponentList first;
    ASSERT_EQ(first.read_from_db_with_backup(db, "miran"), "");
    const int first_connects = odbc_calls_since(before_first_load).connects;
    const auto saved = folder_snapshot(".");

    Database fresh(data_source, reader, reader_password);
    {
        ServerHalt halt("restart");
        // A load while the server is down: the login is refused, which the
        // driver manager reports only as a failed statement allocation; the
        // Database says why.
        ComponentList without_backup;
        EXPECT_EQ(error_message([&] {
                      without_backup.read_from_db_with_backup(fresh, "miran", "elsewhere.txt");
                  }),
                  std::string(no_database_message) + "; Unable to open elsewhere.txt for reading");
        EXPECT_THAT(fresh.get_last_connect_error(), HasSubstr("Connection refused"));
        ComponentList with_backup;
        EXPECT_EQ(with_backup.read_from_db_with_backup(fresh, "miran"), no_database_message);
        EXPECT_EQ(with_backup, expected_miran_list());
        EXPECT_EQ(folder_snapshot("."), saved);
    }  // the server starts again
    wait_for_login(data_source);

    // The Database has not noticed the restart: it still counts itself as
    // connected.
    EXPECT_TRUE(db.is_connected());
    EXPECT_EQ(error_message([&] { db.connect(); }), "SQL connection is already open");
    const OdbcCallCounts before_reuse = odbc_call_counts();
    // The first statement on the dead connection fails with the reason the
    // server gave when it went down, and the load falls back to the backup...
    ComponentList reused;
    const std::string message = reused.read_from_db_with_backup(db, "miran");
    EXPECT_THAT(message, StartsWith("Query failed: "));
    EXPECT_THAT(message, HasSubstr("terminating connection due to administrator command"));
    EXPECT_THAT(message, EndsWith("'MIRAN_VIEW_COMPONENTS')"));
    EXPECT_EQ(reused, first);
    EXPECT_EQ(folder_snapshot("."), saved);

    // ...and the next call logs in again by itself, on the same handles.
    ComponentList reconnected;
    EXPECT_EQ(reconnected.read_from_db_with_backup(db, "miran"), "");
    EXPECT_EQ(reconnected, first);
    EXPECT_EQ(folder_snapshot("."), saved);
    EXPECT_EQ(first_connects + odbc_calls_since(before_reuse).connects, 2);
    EXPECT_GE(odbc_calls_since(before_reuse).answered_dead, 1);

    // The Database refused while the server was down logs in now, and
    // forgets why it was refused.
    ComponentList late;
    EXPECT_EQ(late.read_from_db_with_backup(fresh, "miran"), "");
    EXPECT_EQ(fresh.get_last_connect_error(), "");
}

// --- the library's session ended by the server ------------------------------------

class TerminatedSession : public ::testing::TestWithParam<Backend> {};

TEST_P(TerminatedSession, FirstStatementFailsWithTheReasonAndTheNextLogsInAgain) {
    Database db(GetParam().data_source, reader, reader_password);
    const std::string backend = single_value(db, "SELECT pg_backend_pid()");
    {
        Database admin(GetParam().data_source, reader, reader_password);
        ASSERT_EQ(single_value(admin, "SELECT pg_terminate_backend(" + backend + ")"), "1");
    }
    const OdbcCallCounts before = odbc_call_counts();
    std::optional<DatabaseError> lost;
    try {
        db.send_query("SELECT 1");
    } catch (const DatabaseError& e) {
        lost = e;
    }
    ASSERT_TRUE(lost) << "no DatabaseError";
    // admin_shutdown; psqlODBC's native code for a connection the server ended.
    EXPECT_EQ(lost->get_sqlstate(), "57P01");
    EXPECT_EQ(lost->get_native_error(), 35);
    EXPECT_EQ(lost->get_message(),
              "Query failed: FATAL: terminating connection due to administrator command;\nThe "
              "connection has been lost (SELECT 1)");
    EXPECT_EQ(odbc_calls_since(before).connects, 0);

    EXPECT_NE(single_value(db, "SELECT pg_backend_pid()"), backend);
    const OdbcCallCounts calls = odbc_calls_since(before);
    EXPECT_EQ(calls.connects, 1);
    EXPECT_EQ(calls.answered_dead, 1);
}

INSTANTIATE_TEST_SUITE_P(PostgreSql, TerminatedSession, ::testing::Values(pg_unicode, pg_ansi),
                         BackendName());

// MariaDB's driver answers the question whether the connection lives by
// asking the server, so an ended session is noticed before the statement,
// which then runs on a new login.
TEST(KilledConnection, MariaDbLogsInAgainBeforeTheNextStatement) {
    Database db(mariadb.data_source, reader, reader_password);
    const std::string id = single_value(db, "SELECT CONNECTION_ID()");
    {
        Database admin(mariadb.data_source, reader, reader_password);
        admin.send_query("KILL " + id);
        // KILL returns before the session is gone.
        const std::string still_there =
            "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + id;
        for (int wait = 0; wait < 100 && single_value(admin, still_there) != "0"; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_EQ(single_value(admin, still_there), "0");
    }
    const OdbcCallCounts before = odbc_call_counts();
    EXPECT_NE(single_value(db, "SELECT CONNECTION_ID()"), id);
    const OdbcCallCounts calls = odbc_calls_since(before);
    EXPECT_EQ(calls.connects, 1);
    EXPECT_EQ(calls.answered_dead, 1);
    EXPECT_TRUE(db.is_connected());
}

// --- a view that vanishes between two loads --------------------------------------

class VanishingView : public BackendTestInScratchDir {};

TEST_P(VanishingView, SecondLoadFallsBackToTheFirstAndSaysWhy) {
    // A view of this test's own: the tests of the other backends run beside it.
    std::string facility = std::string("VANISH_") + GetParam().name;
    for (char& c : facility) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const std::string view = "TAVIK." + facility + "_VIEW_COMPONENTS";
    // A view in an attached SQLite database may name only that database's
    // tables, and without qualifying them.
    const std::string source =
        GetParam().is_sqlite ? "MIRAN_VIEW_COMPONENTS" : "TAVIK.MIRAN_VIEW_COMPONENTS";
    db_->send_query("DROP VIEW IF EXISTS " + view);
    db_->send_query("CREATE VIEW " + view + " AS SELECT * FROM " + source);

    ComponentList first;
    ASSERT_EQ(first.read_from_db_with_backup(*db_, facility), "");
    ASSERT_EQ(first, expected_miran_list());
    const auto saved = folder_snapshot(".");

    db_->send_query("DROP VIEW " + view);
    ComponentList second;
    const std::string message = second.read_from_db_with_backup(*db_, facility);
    // The dictionary no longer lists a flag column, and the SELECT fails.
    EXPECT_THAT(message, StartsWith("Query failed: "));
    EXPECT_THAT(message, HasSubstr(GetParam().is_sqlite    ? "no such table"
                                   : GetParam().is_mariadb ? "doesn't exist"
                                                           : "does not exist"));
    EXPECT_THAT(message, EndsWith(" (SELECT NAME, REAL_NAME, NAME2, SECTION, GROUP_, CLASS, "
                                  "TYPE_, FRIENDLY_NAME, X, Y, Z, S, LINK_NAME FROM " +
                                  view + ")"));
    EXPECT_EQ(second, first);
    EXPECT_EQ(folder_snapshot("."), saved);
}

ZEL_SQL_ON_EVERY_BACKEND(VanishingView);

// --- backup files that are damaged or cannot be opened ---------------------------

struct DamagedBackup {
    const char* what;
    const char* file;
    std::function<void(const std::string& good_content)> make;
    std::string file_message;  // the second half of the joined message
};

void PrintTo(const DamagedBackup& damage, std::ostream* os) {
    *os << damage.what;
}

// Each damaged file starts as a good backup of the MIRAN list.
std::vector<DamagedBackup> damaged_backups() {
    const auto write_changed = [](std::function<std::string(const std::string&)> change) {
        return [change](const std::string& good) { write_file("backup.txt", change(good)); };
    };
    return {
        {"cut inside a component", "backup.txt", write_changed([](const std::string& good) {
             return good.substr(0, good.find("Q1.MAIN"));
         }),
         "Cannot parse component list"},
        {"cut between two components", "backup.txt", write_changed([](const std::string& good) {
             const std::string end_of_first = "</component>\n";
             return good.substr(0, good.find(end_of_first) + end_of_first.size());
         }),
         "Found no closing </components> tag"},
        {"cut inside the flag names", "backup.txt",
         write_changed([](const std::string& good) { return good.substr(0, good.find("BPM")); }),
         "Found no closing </flag_names> tag"},
        {"a coordinate that is no number", "backup.txt", write_changed([](const std::string& good) {
             return replaced(good, "1.250000000000000e-01", "one eighth");
         }),
         "Floating point format error"},
        {"a coordinate out of range", "backup.txt", write_changed([](const std::string& good) {
             return replaced(good, "1.250000000000000e-01", "1e999");
         }),
         "Floating point format error"},
        {"a flag that is no digit", "backup.txt", write_changed([](const std::string& good) {
             return replaced(good, "100\nQUAD_01_PS", "1O0\nQUAD_01_PS");
         }),
         "Flag format error"},
        {"one flag too many", "backup.txt", write_changed([](const std::string& good) {
             return replaced(good, "100\nQUAD_01_PS", "1001\nQUAD_01_PS");
         }),
         "backup.txt is inconsistent: Component QUAD_01 has 4 flags instead of 3 as prescribed "
         "by the header"},
        // Saved by an editor that ends lines with CR LF: the flags lines end
        // in a carriage return, which is no flag.
        {"CR LF line ends", "backup.txt", write_changed([](const std::string& good) {
             std::string crlf;
             for (const char c : good) {
                 crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
             }
             return crlf;
         }),
         "Flag format error"},
        {"not a component list at all", "backup.txt", write_changed([](const std::string&) {
             return std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
         }),
         "Unexpected line 1 in backup.txt"},
        // Root's own link, so followed, to a file of secrets: no component
        // list, and nothing of it reaches the message.
        {"a link to a file of secrets", "backup.txt",
         [](const std::string&) {
             write_file("shadow", "root:secret-hash:20228:0:99999:7:::\n");
             ::chmod("shadow", 0600);
             std::filesystem::create_symlink("shadow", "backup.txt");
         },
         "Unexpected line 1 in backup.txt"},
        // The process runs as root in CI, and permission bits do not stop
        // root from reading. These paths cannot be opened by anyone.
        {"a folder", "backup.txt",
         [](const std::string&) { std::filesystem::create_directory("backup.txt"); },
         "Unable to use backup.txt: not a regular file"},
        {"below a regular file", "plain/backup.txt",
         [](const std::string& good) { write_file("plain", good); },
         "Unable to open plain/backup.txt for reading"},
        {"a symbolic link to itself", "backup.txt",
         [](const std::string&) { std::filesystem::create_symlink("backup.txt", "backup.txt"); },
         "Unable to open backup.txt for reading: Too many levels of symbolic links"},
    };
}

class DamagedBackupFile : public ::testing::TestWithParam<DamagedBackup> {};

TEST_P(DamagedBackupFile, FailingDatabaseJoinsBothMessagesAndChangesNothing) {
    std::string good_content;
    {
        TempWorkingDir scratch;
        expected_miran_list().write_to_file("good.txt");
        good_content = read_file("good.txt");
    }
    TempWorkingDir scratch;
    GetParam().make(good_content);
    const auto before = folder_snapshot(".");

    Database db(no_database, reader, reader_password);
    ComponentList list;
    EXPECT_EQ(error_message([&] { list.read_from_db_with_backup(db, "miran", GetParam().file); }),
              std::string(no_database_message) + "; " + GetParam().file_message);
    EXPECT_EQ(folder_snapshot("."), before);
}

INSTANTIATE_TEST_SUITE_P(Faults, DamagedBackupFile, ::testing::ValuesIn(damaged_backups()),
                         [](const ::testing::TestParamInfo<DamagedBackup>& param_info) {
                             std::string name;
                             for (const char c : std::string(param_info.param.what)) {
                                 if (std::isalnum(static_cast<unsigned char>(c))) {
                                     name += c;
                                 }
                             }
                             return name;
                         });

// --- a backup write that fails part way --------------------------------------

// What a load in a child process returned, and whether its list was right.
struct ChildLoad {
    std::string message;
    bool list_as_expected = false;
};

// Loads facility MIRAN in a forked child whose files may not grow beyond
// `file_size_limit` bytes.
ChildLoad load_with_file_size_limit(const char* data_source, std::size_t file_size_limit,
                                    const ComponentList& expected) {
    const std::string report = run_with_file_size_limit(file_size_limit, [&] {
        try {
            Database db(data_source, reader, reader_password);
            ComponentList list;
            const std::string message = list.read_from_db_with_backup(db, "miran");
            return message + "\n" + (list == expected ? "1" : "0");
        } catch (const Error& e) {
            return "threw " + e.get_message() + "\n0";
        }
    });
    const auto newline = report.rfind('\n');
    if (newline == std::string::npos) {
        ADD_FAILURE() << "no report from the child: " << report;
        return {};
    }
    return {report.substr(0, newline), report.substr(newline + 1) == "1"};
}

TEST(BackupWriteFailsPartWay, OldBackupStaysIntactAndTheWriteFailureIsReported) {
    // The old backup (about 200 bytes) is smaller than anything to be written
    // and larger than the limit: each write stops part way through.
    const std::size_t limit = 100;
    const struct {
        const char* what;
        const char* data_source;
        ComponentList list;  // what the load must deliver
    } loads[] = {
        {"list from the database", pg_unicode.data_source, expected_miran_list()},
        {"list from the backup", no_database, backup_only_list()},
    };
    for (const auto& load : loads) {
        SCOPED_TRACE(load.what);
        TempWorkingDir scratch;
        backup_only_list().write_to_file(miran_backup);
        const auto before = folder_snapshot(".");
        ASSERT_GT(before.at(miran_backup).size(), limit);

        const ChildLoad result = load_with_file_size_limit(load.data_source, limit, load.list);
        // The write's message replaces the database's.
        EXPECT_EQ(result.message,
                  std::string("Error while writing to ") + miran_backup + ": File too large");
        EXPECT_TRUE(result.list_as_expected);
        EXPECT_EQ(folder_snapshot("."), before) << "old backup changed or temporary file left";
    }
}

}  // namespace
}  // namespace zel::sql::test::integration
