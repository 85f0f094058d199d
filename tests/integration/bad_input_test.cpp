// Input that callers should not send but will: names with quotes, semicolons,
// line feeds and bytes outside ASCII in everything that becomes SQL text or a
// file name, and values far larger than usual (10 MiB columns, a view with
// 1,000 flag columns). Each gives the right result or a clear zel::Error,
// never a crash and never a silently shortened result.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "backend_fixture.h"
#include "backends.h"
#include "component_printer.h"
#include "connections.h"
#include "folder_snapshot.h"
#include "sample_lists.h"
#include "test_support.h"
#include "zel/Error.h"
#include "zel/sql/Cache.h"
#include "zel/sql/ComponentList.h"
#include "zel/sql/Database.h"

namespace zel::sql::test::integration {
namespace {

using test::error_message;
using test::TempWorkingDir;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// --- names that become SQL text ------------------------------------------------

class BadNames : public BackendTest {};

TEST_P(BadNames, ColumnLookupsFindExactlyTheNamedTable) {
    const struct {
        const char* table;
        const char* owner;
        std::vector<std::string> columns;
    } lookups[] = {
        // Tables that really have such names (sql/*.sql).
        {"SEMI;COLON", "TAVIK", {"SEMI"}},
        {"semi;colon", "tavik", {"SEMI"}},
        {"LINE\nFEED", "TAVIK", {"LINE"}},
        {"ÄRGER_ÖL", "TAVIK", {"UMLAUT"}},
        // Only ASCII letters are folded: the lower-case umlauts stay and miss.
        {"ärger_öl", "TAVIK", {}},
        // Attempts to end the literal and run a statement of their own.
        {"X'; DROP TABLE samples; --", "TAVIK", {}},
        {"MIRAN_VIEW_COMPONENTS", "TAVIK'; DELETE FROM samples; --", {}},
        {"MIRAN_VIEW_COMPONENTS' OR ''='", "TAVIK", {}},
        // A trailing line feed or blank is part of the name, not trimmed.
        {"MIRAN_VIEW_COMPONENTS\n", "TAVIK", {}},
        {"MIRAN_VIEW_COMPONENTS", "TAVIK ", {}},
        {"", "", {}},
    };
    for (const auto& lookup : lookups) {
        EXPECT_EQ(db_->read_column_names(lookup.table, lookup.owner), lookup.columns)
            << "table \"" << lookup.table << "\" of \"" << lookup.owner << "\"";
    }
    // MariaDB reads a backslash as an escape, and in GBK, Big5 or Shift-JIS
    // a backslash may be taken into the character before it even when
    // doubled: names with one are refused before any SQL is sent.
    EXPECT_EQ(error_message([&] { db_->read_column_names(" OR 1=1 -- ", "\\"); }),
              "Invalid owner name: \"\\\" (a backslash is not allowed)");
    EXPECT_EQ(error_message([&] { db_->read_column_names("\xBF\\' UNION SELECT 1 --", "TAVIK"); }),
              "Invalid table name: \"\xBF\\' UNION SELECT 1 --\" (a backslash is not allowed)");
    Query survivors = db_->send_query("SELECT COUNT(*) FROM samples");
    ASSERT_TRUE(survivors.fetch());
    EXPECT_EQ(survivors.get_column_as_int32_t(1, nullptr), 3) << "an injected statement ran";
}

TEST_P(BadNames, BytesThatAreNoUtf8AreRefusedOrMatchNothing) {
    // A PostgreSQL server in UTF-8 refuses the statement; SQLite compares the
    // bytes, and MariaDB replaces them with a warning, and both find no such
    // table. None crashes or invents columns.
    const std::string invalid = "MIRAN\xff\xfe_VIEW_COMPONENTS";
    if (GetParam().is_sqlite || GetParam().is_mariadb) {
        EXPECT_THAT(db_->read_column_names(invalid, "TAVIK"), IsEmpty());
    } else {
        EXPECT_THAT(error_message([&] { db_->read_column_names(invalid, "TAVIK"); }),
                    ::testing::StartsWith("Query failed: "));
    }
}

TEST_P(BadNames, FacilityNamesThatAreNoIdentifiersAreRefusedBeforeAnySql) {
    TempWorkingDir scratch;
    backup_only_list().write_to_file("explicit.txt");
    const struct {
        const char* facility;
        std::string canonical;
    } facilities[] = {
        {"miran'; DROP VIEW tavik.miran_view_components; --",
         "MIRAN'; DROP VIEW TAVIK"},  // cut at the first full stop
        {"miran;", "MIRAN;"},
        {"mi\nran", "MI\nRAN"},
        {"miran\xc3\xa4", "MIRAN\xc3\xa4"},
        {"miran view", "MIRAN VIEW"},
        {"../../etc/passwd", ""},
        {"a/b", "A/B"},
    };
    for (const auto& bad : facilities) {
        SCOPED_TRACE(bad.facility);
        const std::string refusal = "Invalid facility name: \"" + bad.canonical + "\"";
        ComponentList list = expected_miran_list();
        EXPECT_EQ(error_message([&] { list.read_from_db(*db_, bad.facility); }), refusal);
        EXPECT_EQ(list, ComponentList());

        // The default backup name carries the same bytes; nothing is there.
        EXPECT_EQ(
            error_message([&] { list.read_from_db_with_backup(*db_, bad.facility); }),
            refusal + "; Unable to open db_component_list_" + bad.canonical + ".txt for reading");
        EXPECT_EQ(list.read_from_db_with_backup(*db_, bad.facility, "explicit.txt"), refusal);
        EXPECT_EQ(list, backup_only_list());
    }
    EXPECT_THAT(folder_snapshot("."), ElementsAre(::testing::Key("explicit.txt")));
    // The view that the first name tried to drop is still there.
    ComponentList miran;
    miran.read_from_db(*db_, "miran");
    EXPECT_EQ(miran, expected_miran_list());
}

ZEL_SQL_ON_EVERY_BACKEND(BadNames);

// '#' and '$' are identifier characters on the Oracle-style servers the
// library is made for, so facility names may hold them. On MariaDB '#' starts
// a comment: for facility "ops#" the statement ends at TAVIK.OPS, an
// unrelated view, whose rows are then loaded. This pins that behaviour, which
// the driver notes warn of: such facilities cannot be read from MariaDB.
TEST(HashInFacilityNames, MariaDbReadsTheRestOfTheStatementAsAComment) {
    std::unique_ptr<Database> db = open_database(mariadb);
    ComponentList list;
    list.read_from_db(*db, "ops#");
    ASSERT_EQ(list.components_.size(), 1u);
    EXPECT_EQ(list.components_.front().name_, "NOT_OPS_HASH");
    EXPECT_THAT(list.flag_names_, IsEmpty());
}

// --- names that become file names --------------------------------------------

TEST(BadFileNames, BackupFileNamesAreUsedByteForByte) {
    TempWorkingDir scratch;
    std::unique_ptr<Database> db = open_database(sqlite);
    const std::string longest(255, 'n');  // the longest name a Linux file system takes
    for (const std::string& name :
         {std::string("it's.txt"), std::string("semi;colon.txt"), std::string("line\nfeed.txt"),
          std::string(" blank .txt"), std::string("\xc3\xa4rger.txt"), std::string("\xff\xfe.txt"),
          std::string("-dash"), longest}) {
        SCOPED_TRACE(name);
        ComponentList list;
        EXPECT_EQ(list.read_from_db_with_backup(*db, "miran", name), "");
        EXPECT_THAT(folder_snapshot("."), ElementsAre(::testing::Key(name)))
            << "written under another name, or a temporary file left";
        ComponentList from_file;
        from_file.read_from_file(name);
        EXPECT_EQ(from_file, expected_miran_list());
        std::filesystem::remove(name);
    }
}

TEST(BadFileNames, UnwritableBackupNamesKeepTheListAndSayWhy) {
    TempWorkingDir scratch;
    std::unique_ptr<Database> db = open_database(sqlite);
    std::filesystem::create_directory("folder");
    const std::string too_long(256, 'n');
    const struct {
        std::string name;
        std::string message;
    } unwritable[] = {
        {"no_such_folder/backup.txt",
         "Unable to open no_such_folder/backup.txt for writing: No such file or directory"},
        {"folder", "Error while writing to folder: Is a directory"},
        {too_long, "Error while writing to " + too_long + ": File name too long"},
    };
    const auto before = folder_snapshot(".");
    for (const auto& bad : unwritable) {
        SCOPED_TRACE(bad.name.substr(0, 40));
        ComponentList list;
        EXPECT_EQ(list.read_from_db_with_backup(*db, "miran", bad.name), bad.message);
        EXPECT_EQ(list, expected_miran_list()) << "the load itself succeeded";
        EXPECT_EQ(folder_snapshot("."), before);
        EXPECT_TRUE(std::filesystem::is_empty("folder"));
    }
}

TEST(BadFileNames, CacheFileNamesAreDigestsWhateverTheQueryText) {
    TempWorkingDir scratch;
    Database db(pg_unicode.data_source, reader, reader_password);
    Cache& cache = db.get_cache();
    const std::vector<std::string> texts = {"SELECT 'x'; DROP TABLE samples; --",
                                            "../../etc/passwd",
                                            "line\nfeed",
                                            "\xff\xfe\x00",
                                            std::string("nul\0byte", 8),
                                            std::string("nul\0other", 9)};
    for (const std::string folder : {"it's; cache", "line\nfeed", "\xc3\xa4 cache/"}) {
        SCOPED_TRACE(folder);
        cache.set_folder(folder);
        EXPECT_EQ(cache.get_folder(), folder);
        std::vector<std::string> names;
        for (const std::string& text : texts) {
            const std::string name = cache.get_full_file_name(text);
            ASSERT_EQ(name.size(), folder.size() + 61) << name;
            EXPECT_EQ(name.substr(0, folder.size() + 1), folder + "/");
            EXPECT_EQ(name.find_first_not_of("0123456789abcdef", folder.size() + 1),
                      folder.size() + 57)
                << name;
            EXPECT_EQ(name.substr(folder.size() + 57), ".dat");
            names.push_back(name);
        }
        // Texts that differ only after a NUL byte still get their own files.
        std::sort(names.begin(), names.end());
        EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
    }
    EXPECT_EQ(error_message([&] { cache.set_folder(""); }), "Invalid cache folder: \"\"");
    EXPECT_EQ(cache.get_folder(), "\xc3\xa4 cache/");
    EXPECT_THAT(folder_snapshot("."), IsEmpty()) << "nothing is created on disk";
}

// --- huge values -------------------------------------------------------------------

const std::size_t ten_mebibytes = 10 * 1024 * 1024;

// "0000000,0000001,...", as sql/*.sql generate it.
std::string expected_big_text() {
    std::string text;
    text.reserve(ten_mebibytes);
    char field[16];
    for (int i = 0; text.size() < ten_mebibytes; ++i) {
        std::snprintf(field, sizeof(field), "%07d,", i);
        text += field;
    }
    return text;
}

// The big-endian 32-bit numbers 0, 1, 2, ...
std::vector<unsigned char> expected_big_blob() {
    std::vector<unsigned char> blob;
    blob.reserve(ten_mebibytes);
    for (std::uint32_t i = 0; blob.size() < ten_mebibytes; ++i) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            blob.push_back(static_cast<unsigned char>(i >> shift));
        }
    }
    return blob;
}

class HugeValues : public BackendTest {};

TEST_P(HugeValues, TenMebibyteColumnsAreReadWholeInPieces) {
    Query query = db_->send_query("SELECT big_text, big_blob FROM big_values");
    ASSERT_TRUE(query.fetch());
    bool was_null = true;
    const std::string text = query.get_column_as_string(1, &was_null);
    EXPECT_FALSE(was_null);
    ASSERT_EQ(text.size(), ten_mebibytes);
    EXPECT_TRUE(text == expected_big_text()) << "same length, other content";
    was_null = true;
    const std::vector<unsigned char> blob = query.get_column_as_binary(2, &was_null);
    EXPECT_FALSE(was_null);
    ASSERT_EQ(blob.size(), ten_mebibytes);
    EXPECT_TRUE(blob == expected_big_blob()) << "same length, other content";
    EXPECT_FALSE(query.fetch());
}

TEST_P(HugeValues, ThousandFlagColumnsLoadAndSurviveTheBackup) {
    TempWorkingDir scratch;
    ComponentList list;
    ASSERT_EQ(list.read_from_db_with_backup(*db_, "wide"), "");

    ASSERT_EQ(list.flag_names_.size(), 1000u);
    char flag_name[16];
    for (std::size_t j = 0; j < 1000; ++j) {
        std::snprintf(flag_name, sizeof(flag_name), "F%04zu", j);
        EXPECT_EQ(list.flag_names_[j], flag_name);
    }
    ASSERT_EQ(list.components_.size(), 3u);
    for (std::size_t r = 1; r <= 3; ++r) {
        const Component& c = list.components_[r - 1];
        EXPECT_EQ(c.name_, "W" + std::to_string(r));
        EXPECT_EQ(c.link_name_, "L" + std::to_string(r));
        EXPECT_EQ(c.s_, static_cast<double>(r) * 10.25);
        ASSERT_EQ(c.flags_.size(), 1000u);
        for (std::size_t j = 0; j < 1000; ++j) {
            // NULL when (r + j) is a multiple of 7, else (r + j) mod 3.
            const bool expected = (r + j) % 7 != 0 && (r + j) % 3 != 0;
            EXPECT_EQ(c.flags_[j], expected) << "row " << r << ", flag " << j;
        }
    }
    ComponentList from_file;
    from_file.read_from_file("db_component_list_WIDE.txt");
    EXPECT_EQ(from_file, list);
}

ZEL_SQL_ON_EVERY_BACKEND(HugeValues);

}  // namespace
}  // namespace zel::sql::test::integration
