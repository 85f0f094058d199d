// ComponentList loaded from the facility views through the real drivers, with
// the backup file: exact values, NULLs, cut texts, flag names, facility
// spellings, failing databases, a stopped server and a fetch that fails after
// some rows.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "backend_fixture.h"
#include "backends.h"
#include "component_printer.h"
#include "connections.h"
#include "sample_lists.h"
#include "server_control.h"
#include "test_support.h"
#include "zel/Error.h"
#include "zel/sql/ComponentList.h"
#include "zel/sql/Database.h"

namespace zel::sql::test::integration {
namespace {

using test::error_message;
using test::read_file;
using test::TempWorkingDir;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class ComponentListDb : public BackendTestInScratchDir {};

TEST_P(ComponentListDb, ReadFromDbDeliversEveryFieldOfEveryRow) {
    ComponentList list;
    list.components_ = backup_only_list().components_;  // replaced, not appended to
    list.read_from_db(*db_, "MIRAN");
    EXPECT_THAT(list.flag_names_, ElementsAre("MAIN_BEAM", "BPM", "VACUUM"));
    ASSERT_EQ(list.components_.size(), 4u);
    const std::vector<Component> expected = expected_miran_components();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(list.components_[i], expected[i]) << "row " << i + 1;
    }
    EXPECT_EQ(list.components_[2].friendly_name_.size(), 255u);
    EXPECT_EQ(list.find_components_with_flag("vacuum", ComponentList::SortOrder::none).size(), 2u);
}

TEST_P(ComponentListDb, AnySpellingLoadsTheViewAndWritesTheDefaultBackup) {
    for (const char* spelling : {"MIRAN", "miran", " Miran\t", "qor", "miran.extra"}) {
        SCOPED_TRACE(spelling);
        std::remove(miran_backup);
        ComponentList list;
        EXPECT_EQ(list.read_from_db_with_backup(*db_, spelling), "");
        EXPECT_EQ(list, expected_miran_list());
        ASSERT_TRUE(std::filesystem::exists(miran_backup));
        ComponentList from_file;
        from_file.read_from_file(miran_backup);
        EXPECT_EQ(from_file, list);
    }
}

TEST_P(ComponentListDb, ExplicitBackupNameOverwritesAnOlderBackup) {
    backup_only_list().write_to_file("miran.txt");
    ComponentList list;
    EXPECT_EQ(list.read_from_db_with_backup(*db_, "miran", "miran.txt"), "");
    EXPECT_FALSE(std::filesystem::exists(miran_backup));
    ComponentList from_file;
    from_file.read_from_file("miran.txt");
    EXPECT_EQ(from_file, expected_miran_list());
}

TEST_P(ComponentListDb, MissingViewFallsBackToTheBackupFile) {
    backup_only_list().write_to_file("db_component_list_NOWHERE.txt");
    ComponentList list;
    const std::string message = list.read_from_db_with_backup(*db_, "nowhere");
    // The view has no columns in the dictionary, so the SELECT itself fails.
    EXPECT_THAT(message, StartsWith("Query failed: "));
    EXPECT_THAT(message, EndsWith(" FROM TAVIK.NOWHERE_VIEW_COMPONENTS)"));
    EXPECT_EQ(list, backup_only_list());
}

ZEL_SQL_ON_EVERY_BACKEND(ComponentListDb);

TEST(ComponentListFailingDb, FallsBackToTheBackupOrJoinsBothMessages) {
    const struct {
        const char* what;
        const char* data_source;
        const char* password;
    } failing[] = {
        {"unknown data source", "zel_no_such_dsn", reader_password},
        {"wrong password", "zel_pg_unicode", "not-the-password"},
        {"wrong password on MariaDB", "zel_mariadb", "not-the-password"},
    };
    expect_login_accepted(pg_unicode.data_source);
    expect_login_accepted(mariadb.data_source);
    for (const auto& db_case : failing) {
        SCOPED_TRACE(db_case.what);
        TempWorkingDir scratch;
        Database db(db_case.data_source, reader, db_case.password);

        ComponentList list;
        EXPECT_EQ(error_message([&] { list.read_from_db_with_backup(db, "miran"); }),
                  "Unable to allocate SQL statement handle; Unable to open " +
                      std::string(miran_backup) + " for reading");
        EXPECT_FALSE(std::filesystem::exists(miran_backup));

        backup_only_list().write_to_file(miran_backup);
        const std::string before = read_file(miran_backup);
        EXPECT_EQ(list.read_from_db_with_backup(db, " miran.extra"),
                  "Unable to allocate SQL statement handle");
        EXPECT_EQ(list, backup_only_list());
        EXPECT_EQ(read_file(miran_backup), before);
        // The simulated facility has a backup of its own, and none exists.
        EXPECT_EQ(error_message([&] { list.read_from_db_with_backup(db, "vmiran"); }),
                  "Unable to allocate SQL statement handle; Unable to open "
                  "db_component_list_MIRAN_SIM.txt for reading");
    }
}

TEST(ComponentListServerOutage, SecondLoadFallsBackToTheBackupAndSaysWhy) {
    // Servers that no other test uses.
    const struct {
        const char* data_source;
        const char* server;
        const char* diagnostics;  // the driver's word for the lost connection
        // MariaDB's driver asks the server whether the connection lives, so
        // the Database notices the loss before the statement and logs in
        // again, which the stopped server refuses. psqlODBC only learns of
        // the loss from the statement that fails.
        bool noticed_before_the_statement;
    } outages[] = {
        {"zel_pg_outage", "outage", "terminating connection due to administrator command", false},
        {"zel_mariadb_outage", "mariadb-outage", "Can't connect to server", true},
    };
    for (const auto& outage : outages) {
        SCOPED_TRACE(outage.data_source);
        TempWorkingDir scratch;
        Database db(outage.data_source, reader, reader_password);
        ComponentList first;
        ASSERT_EQ(first.read_from_db_with_backup(db, "miran"), "");
        ASSERT_EQ(first, expected_miran_list());
        const std::string backup = read_file(miran_backup);

        ServerHalt halt(outage.server);
        // The open connection is gone: the first statement on it fails.
        ComponentList second;
        const std::string message = second.read_from_db_with_backup(db, "miran");
        if (outage.noticed_before_the_statement) {
            EXPECT_EQ(message, "Unable to allocate SQL statement handle");
            EXPECT_FALSE(db.is_connected());
            EXPECT_THAT(db.get_last_connect_error(), HasSubstr(outage.diagnostics));
        } else {
            EXPECT_THAT(message, StartsWith("Query failed: "));
            EXPECT_THAT(message, HasSubstr(outage.diagnostics));
            EXPECT_THAT(message,
                        EndsWith(" (SELECT COLUMN_NAME FROM ALL_TAB_COLUMNS WHERE UPPER(OWNER) = "
                                 "'TAVIK' AND UPPER(TABLE_NAME) = 'MIRAN_VIEW_COMPONENTS')"));
        }
        EXPECT_EQ(second, first);
        EXPECT_EQ(read_file(miran_backup), backup);

        // A new connection is refused outright.
        Database fresh(outage.data_source, reader, reader_password);
        ComponentList third;
        EXPECT_EQ(third.read_from_db_with_backup(fresh, "MIRAN"),
                  "Unable to allocate SQL statement handle");
        EXPECT_EQ(third, first);
        EXPECT_EQ(read_file(miran_backup), backup);
    }
}

// A data source whose driver delivers some rows of BROKEN_VIEW_COMPONENTS and
// then fails: psqlODBC reading through a cursor two rows at a time, and SQLite,
// which evaluates each row when it is fetched. MariaDB Connector/ODBC reads
// every row while it executes the statement, so there the execution fails.
struct FailingFetch {
    Backend backend;
    const char* diagnostic;  // part of the driver's message
    const char* failure = "Fetch failed: ";
};

void PrintTo(const FailingFetch& param, std::ostream* os) {
    *os << param.backend.name;
}

class ComponentListFailingFetch : public ::testing::TestWithParam<FailingFetch> {};

TEST_P(ComponentListFailingFetch, FailedFetchKeepsTheBackupIntact) {
    TempWorkingDir scratch;
    std::unique_ptr<Database> db = open_database(GetParam().backend);
    const char* const backup_name = "db_component_list_BROKEN.txt";
    backup_only_list().write_to_file(backup_name);
    const std::string backup = read_file(backup_name);
    const std::string statement =
        " (SELECT NAME, REAL_NAME, NAME2, SECTION, GROUP_, CLASS, TYPE_, FRIENDLY_NAME, X, Y, Z, "
        "S, LINK_NAME, FLAG_MAIN_BEAM FROM TAVIK.BROKEN_VIEW_COMPONENTS)";

    ComponentList list;
    const std::string direct = error_message([&] { list.read_from_db(*db, "broken"); });
    EXPECT_THAT(direct, StartsWith(GetParam().failure));
    EXPECT_THAT(direct, HasSubstr(GetParam().diagnostic));
    EXPECT_THAT(direct, EndsWith(statement));

    const std::string message = list.read_from_db_with_backup(*db, "Broken");
    EXPECT_THAT(message, StartsWith(GetParam().failure));
    EXPECT_THAT(message, EndsWith(statement));
    EXPECT_EQ(list, backup_only_list()) << "not the rows before the failure";
    EXPECT_EQ(read_file(backup_name), backup);
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, ComponentListFailingFetch,
    ::testing::Values(FailingFetch{{"PgCursor", "zel_pg_cursor", false, "FLAG_VACUUM"},
                                   "division by zero"},
                      FailingFetch{sqlite, "malformed JSON"},
                      FailingFetch{mariadb, "division by zero", "Query failed: "}),
    [](const ::testing::TestParamInfo<FailingFetch>& param_info) {
        return std::string(param_info.param.backend.name);
    });

}  // namespace
}  // namespace zel::sql::test::integration
