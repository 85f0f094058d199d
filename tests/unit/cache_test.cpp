// The cache of a data source: its folder, the names of its files, and the
// private file operations that the code storing cached results relies on.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "cache_file_steps.h"
#include "test_support.h"
#include "zel/Error.h"
#include "zel/sql/Cache.h"

namespace zel::sql {
namespace {

using CacheFileOps = detail::CacheFiles::Steps;
using test::error_message;
using test::permissions_of;
using test::read_file;
using test::ScopedUmask;
using test::TempDir;
using test::write_file;

constexpr char empty_digest[] = "6b4e03423667dbb73b6e15454f0eb1abd4597f9a1b078e3f5b5a6bc7";
constexpr char abc_digest[] = "e642824c3f8cf24ad09234ee7d3c766fc9a3a5168d0c94ad73b46fdf";

TEST(CacheFolder, StartsAsDbCache) {
    EXPECT_EQ(Cache().get_folder(), "db_cache");
}

TEST(CacheFolder, RefusesAnEmptyFolderAndKeepsThePreviousOne) {
    Cache cache;
    cache.set_folder("/var/cache/zel");
    EXPECT_EQ(error_message([&] { cache.set_folder(""); }), "Invalid cache folder: \"\"");
    EXPECT_EQ(cache.get_folder(), "/var/cache/zel");
}

TEST(CacheFolder, StoresAnyOtherFolderUnchangedWithoutTouchingTheDisk) {
    Cache cache;
    for (const std::string folder : {" ", "a/b/", "./x", "/does/not/exist"}) {
        cache.set_folder(folder);
        EXPECT_EQ(cache.get_folder(), folder);
    }
    EXPECT_FALSE(std::filesystem::exists("/does/not/exist"));
}

TEST(CacheFileName, IsFolderSlashDigestDotDat) {
    Cache cache;
    EXPECT_EQ(cache.get_full_file_name(""), std::string("db_cache/") + empty_digest + ".dat");
    cache.set_folder("cache_dir");
    EXPECT_EQ(cache.get_full_file_name("abc"), std::string("cache_dir/") + abc_digest + ".dat");
}

TEST(CacheFileName, KeepsATrailingSlashOfTheFolder) {
    Cache cache;
    cache.set_folder("cache/");
    EXPECT_EQ(cache.get_full_file_name("abc"), std::string("cache//") + abc_digest + ".dat");
}

TEST(CacheFileName, HasFiftySixLowerCaseHexDigits) {
    Cache cache;
    cache.set_folder("f");
    const std::regex shape("f/[0-9a-f]{56}\\.dat");
    const std::string queries[] = {"", "SELECT 1 FROM DUAL", std::string("a\0b", 3), "\xff\xfe"};
    for (const std::string& query : queries) {
        EXPECT_TRUE(std::regex_match(cache.get_full_file_name(query), shape))
            << cache.get_full_file_name(query);
    }
}

TEST(CacheFileName, DependsOnEveryByteOfTheQueryButNotOnTheFolder) {
    Cache cache;
    const std::string queries[] = {"select 1",
                                   "SELECT 1",
                                   "select  1",
                                   "select 1 ",
                                   " select 1",
                                   "select 1;",
                                   std::string("select 1\0", 9)};
    std::set<std::string> names;
    for (const std::string& query : queries) {
        names.insert(cache.get_full_file_name(query));
    }
    EXPECT_EQ(names.size(), std::size(queries));

    const std::string in_default = cache.get_full_file_name("select 1");
    EXPECT_EQ(cache.get_full_file_name("select 1"), in_default);
    cache.set_folder("elsewhere");
    EXPECT_EQ(cache.get_full_file_name("select 1"),
              "elsewhere" + in_default.substr(std::string("db_cache").size()));
}

class CacheFiles : public ::testing::Test {
protected:
    TempDir dir_;
    Cache cache_;
};

TEST_F(CacheFiles, CreateFolderUsesMode0755) {
    const ScopedUmask no_mask(0);
    cache_.set_folder(dir_.file("cache"));
    CacheFileOps::create_folder(cache_);
    ASSERT_TRUE(std::filesystem::is_directory(dir_.file("cache")));
    EXPECT_EQ(permissions_of(dir_.file("cache")), 0755U);
    // A folder that is already there is fine.
    EXPECT_NO_THROW(CacheFileOps::create_folder(cache_));
}

TEST_F(CacheFiles, CreateFolderReportsTheFolderItCouldNotCreate) {
    const std::string folder = dir_.file("missing/cache");
    cache_.set_folder(folder);
    EXPECT_EQ(error_message([&] { CacheFileOps::create_folder(cache_); }),
              "Unable to create cache folder \"" + folder + "\"");
    EXPECT_EQ(cache_.get_folder(), folder);

    write_file(dir_.file("a_file"), "");
    cache_.set_folder(dir_.file("a_file"));
    EXPECT_EQ(error_message([&] { CacheFileOps::create_folder(cache_); }),
              "Unable to create cache folder \"" + dir_.file("a_file") + "\"");
}

TEST_F(CacheFiles, HeaderWrittenFirstPassesTheCheckAndLeavesTheStreamAtThePayload) {
    EXPECT_EQ(CacheFileOps::magic_header(), "zel_sql_cache_00");
    const std::string file = dir_.file("entry.dat");
    {
        std::ofstream out = CacheFileOps::open_file_output_stream(cache_, file);
        out << CacheFileOps::magic_header() << "payload";
    }
    EXPECT_EQ(read_file(file), "zel_sql_cache_00payload");

    std::ifstream in = CacheFileOps::open_file_input_stream(cache_, file);
    ASSERT_NO_THROW(CacheFileOps::read_and_check_magic_header(in));
    EXPECT_EQ(in.tellg(), std::streampos(16));
    std::string payload;
    in >> payload;
    EXPECT_EQ(payload, "payload");
}

TEST_F(CacheFiles, HeaderAloneLeavesTheStreamAtItsEnd) {
    const std::string file = dir_.file("header_only.dat");
    write_file(file, "zel_sql_cache_00");
    std::ifstream in = CacheFileOps::open_file_input_stream(cache_, file);
    ASSERT_NO_THROW(CacheFileOps::read_and_check_magic_header(in));
    EXPECT_EQ(in.peek(), std::char_traits<char>::eof());
}

TEST_F(CacheFiles, ShortOrEmptyFileCannotBeChecked) {
    for (const std::string content : {"", "z", "zel_sql_cache_0"}) {
        const std::string file = dir_.file("short.dat");
        write_file(file, content);
        std::ifstream in = CacheFileOps::open_file_input_stream(cache_, file);
        EXPECT_EQ(error_message([&] { CacheFileOps::read_and_check_magic_header(in); }),
                  "Cannot read header")
            << content.size() << " bytes";
        EXPECT_TRUE(in.fail());
    }
}

TEST(CacheHeader, StreamThatFailedBeforeCannotBeChecked) {
    std::istringstream in("zel_sql_cache_00");
    in.setstate(std::ios::failbit);
    EXPECT_EQ(error_message([&] { CacheFileOps::read_and_check_magic_header(in); }),
              "Cannot read header");
}

TEST(CacheHeader, ForeignHeaderIsQuotedByteForByte) {
    const struct {
        std::string content;
        std::string found;
    } cases[] = {
        {"ZEL_SQL_CACHE_00payload", "ZEL_SQL_CACHE_00"},
        {"zel_sql_cache_01", "zel_sql_cache_01"},
        {"\x89PNG\r\n\x1a\n\"quote\"\xff tail", "\x89PNG\r\n\x1a\n\"quote\"\xff"},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.content);
        EXPECT_EQ(error_message([&] { CacheFileOps::read_and_check_magic_header(in); }),
                  "Invalid header \"" + c.found + "\", expected \"zel_sql_cache_00\"");
        EXPECT_EQ(in.tellg(), std::streampos(16));
    }
}

TEST_F(CacheFiles, OpeningForOutputTruncatesAnExistingFile) {
    const std::string file = dir_.file("old.dat");
    write_file(file, "zel_sql_cache_00old payload");
    { std::ofstream out = CacheFileOps::open_file_output_stream(cache_, file); }
    EXPECT_EQ(std::filesystem::file_size(file), 0U);
}

TEST_F(CacheFiles, OpenersNeitherCreateTheFolderNorAddIt) {
    cache_.set_folder(dir_.file("cache"));
    const std::string file = dir_.file("cache/entry.dat");
    EXPECT_EQ(error_message([&] { CacheFileOps::open_file_output_stream(cache_, file); }),
              "Cannot open output file \"" + file + "\"");
    EXPECT_EQ(error_message([&] { CacheFileOps::open_file_input_stream(cache_, file); }),
              "Cannot open input file \"" + file + "\"");
    EXPECT_FALSE(std::filesystem::exists(dir_.file("cache")));

    // The name is used exactly as passed, not looked up in the cache folder.
    CacheFileOps::create_folder(cache_);
    EXPECT_EQ(error_message([&] { CacheFileOps::open_file_input_stream(cache_, "entry.dat"); }),
              "Cannot open input file \"entry.dat\"");
}

TEST_F(CacheFiles, MissingFileCannotBeOpenedForInput) {
    const std::string file = dir_.file("absent.dat");
    EXPECT_EQ(error_message([&] { CacheFileOps::open_file_input_stream(cache_, file); }),
              "Cannot open input file \"" + file + "\"");
    EXPECT_FALSE(std::filesystem::exists(file));
}

}  // namespace
}  // namespace zel::sql
