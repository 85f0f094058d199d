// read_cache_copy, the public reader of one cache file: a good copy comes
// back whole, a missing one is "not stored", and every copy the library would
// refuse is refused with the library's own message and a kind and reason a
// program can act on.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "cache/cache_file.h"
#include "test_support.h"
#include "zel/Error.h"
#include "zel/sql/CacheCopy.h"
#include "zel/sql/Database.h"

namespace zel::sql {
namespace {

using test::error_message;
using test::read_file;
using test::TempDir;
using test::write_file;
using Kind = CacheCopyError::Kind;

const std::string sql = "SELECT NAME, CURRENT_A FROM SUPPLIES";

class CacheCopyReader : public ::testing::Test {
protected:
    CacheCopyReader() {
        db_.get_cache().set_folder(dir_.file("cache"));
        QueryResult result;
        result.column_names = {"NAME", "CURRENT_A"};
        result.rows = {{"QF1", std::nullopt},
                       {"", std::string("1\0"
                                        "2",
                                        3)}};
        result.stored_at = 1700000000;
        detail::CacheFiles::store(db_.get_cache(), sql, "accel", result);
        good_bytes_ = read_file(file());
    }

    std::string file() const { return db_.get_cache().get_full_file_name(sql); }

    // The refusal of read_cache_copy for the file as it is now.
    std::optional<CacheCopyError> refusal() {
        try {
            read_cache_copy(file());
        } catch (const CacheCopyError& e) {
            return e;
        }
        ADD_FAILURE() << "not refused";
        return std::nullopt;
    }

    TempDir dir_;
    Database db_{"accel", "", ""};
    std::string good_bytes_;
};

TEST_F(CacheCopyReader, AGoodCopyComesBackWhole) {
    const std::optional<CacheCopy> copy = read_cache_copy(file());
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->sql, sql);
    EXPECT_EQ(copy->data_source, "accel");
    EXPECT_EQ(copy->result.stored_at, 1700000000);
    EXPECT_EQ(copy->result.column_names, (std::vector<std::string>{"NAME", "CURRENT_A"}));
    ASSERT_EQ(copy->result.rows.size(), 2u);
    EXPECT_EQ(copy->result.rows[0][0], "QF1");
    EXPECT_EQ(copy->result.rows[0][1], std::nullopt);
    EXPECT_EQ(copy->result.rows[1][0], "");
    EXPECT_EQ(copy->result.rows[1][1], std::string("1\0"
                                                   "2",
                                                   3));
    EXPECT_TRUE(copy->result.from_cache);
    EXPECT_EQ(copy->result.message, "");
}

TEST_F(CacheCopyReader, NeitherItsNameNorItsDataSourceIsChecked) {
    // A copy stored through another data source, under another name: the
    // caller compares both with what it expects.
    const std::string renamed = dir_.file("copy.dat");
    write_file(renamed, good_bytes_);
    const std::optional<CacheCopy> copy = read_cache_copy(renamed);
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->sql, sql);
    EXPECT_EQ(copy->data_source, "accel");
    Database other("accel_test", "", "");
    other.get_cache().set_folder(db_.get_cache().get_folder());
    EXPECT_EQ(error_message([&] { other.read_with_cache(sql, CachePolicy::cache_only); }),
              "Cache file \"" + file() + "\" was stored through data source \"accel\", not " +
                  "\"accel_test\"");
}

TEST_F(CacheCopyReader, NoFileIsNotStored) {
    EXPECT_EQ(read_cache_copy(db_.get_cache().get_full_file_name("SELECT 1")), std::nullopt);
    EXPECT_EQ(read_cache_copy(dir_.file("no_folder/x.dat")), std::nullopt);
    // Below a file instead of a folder.
    EXPECT_EQ(read_cache_copy(file() + "/x.dat"), std::nullopt);
}

TEST_F(CacheCopyReader, DamageIsRefusedWithTheMessageOfTheLibrarysOwnRead) {
    std::string flipped = good_bytes_;
    flipped[flipped.size() - 40] = static_cast<char>(flipped[flipped.size() - 40] ^ 1);
    std::string version_2 = good_bytes_;
    version_2[16] = 2;
    struct Case {
        const char* what;
        std::string bytes;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"changed byte", flipped, "the check sum does not match"},
        {"cut short", good_bytes_.substr(0, good_bytes_.size() - 5),
         "the file has " + std::to_string(good_bytes_.size() - 5) + " bytes, its payload says " +
             std::to_string(good_bytes_.size())},
        {"short header", "zel_sql", "Cannot read header"},
        {"other header", "not_a_cache_file and more",
         "Invalid header \"not_a_cache_file\", expected \"zel_sql_cache_00\""},
        {"version 2", version_2, "unknown format version 2 (expected 1)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(file(), c.bytes);
        const std::optional<CacheCopyError> error = refusal();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->get_kind(), Kind::damaged);
        EXPECT_EQ(error->get_reason(), c.reason);
        EXPECT_EQ(error->get_message(),
                  error_message([&] { db_.read_with_cache(sql, CachePolicy::cache_only); }));
    }
}

TEST_F(CacheCopyReader, WhatTheTrustRuleRefusesIsNeverRead) {
    ASSERT_EQ(::chmod(file().c_str(), 0666), 0);
    std::optional<CacheCopyError> error = refusal();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->get_kind(), Kind::not_trusted);
    EXPECT_EQ(error->get_reason(), "writable by others");
    EXPECT_EQ(error->get_message(), "Cache file \"" + file() + "\" refused: writable by others");

    // A FIFO planted at the name would hang a plain open.
    ASSERT_EQ(::unlink(file().c_str()), 0);
    ASSERT_EQ(::mkfifo(file().c_str(), 0600), 0);
    error = refusal();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->get_kind(), Kind::not_trusted);
    EXPECT_EQ(error->get_reason(), "not a regular file");
}

TEST_F(CacheCopyReader, AFileThatCannotBeOpenedIsUnreadable) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root opens files without read permission";
    }
    ASSERT_EQ(::chmod(file().c_str(), 0200), 0);
    const std::optional<CacheCopyError> error = refusal();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->get_kind(), Kind::unreadable);
    EXPECT_EQ(error->get_message(), "Cannot open input file \"" + file() + "\"");
    EXPECT_EQ(error->get_reason(), "cannot be opened: Permission denied");
}

TEST(CacheCopyName, WithANulIsRefusedBeforeAnyFileIsTouched) {
    const std::string name("db_cache/a\0b.dat", 16);
    EXPECT_EQ(error_message([&] { read_cache_copy(name); }).rfind("Invalid file name", 0), 0u);
}

}  // namespace
}  // namespace zel::sql
