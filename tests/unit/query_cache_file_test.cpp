// Cache files of query results without a database: the payload's bytes, round
// trips of awkward values, every kind of damage (each read through
// Database::read_with_cache with CachePolicy::cache_only, which never contacts
// the data source), stores that fail part way or race, and pruning.

#include <gtest/gtest.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cache/cache_file.h"
#include "cache/cache_payload.h"
#include "test_support.h"
#include "util/digest.h"
#include "zel/Error.h"
#include "zel/sql/Cache.h"
#include "zel/sql/Database.h"

namespace zel::sql {
namespace {

using test::error_message;
using test::read_file;
using test::run_with_file_size_limit;
using test::TempDir;
using test::write_file;
using Rows = std::vector<std::vector<std::optional<std::string>>>;

const std::string sql = "SELECT NAME, CURRENT_A FROM SUPPLIES";
const std::string data_source = "accel";

std::string le(std::uint64_t value, std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
    return out;
}

std::string text(const std::string& bytes) {
    return le(bytes.size(), 4) + bytes;
}

std::string digest_of(const std::string& bytes) {
    const util::Sha3_224Digest digest = util::sha3_224(util::ByteSpan(bytes));
    return std::string(digest.begin(), digest.end());
}

// `file` with its check sum made right again: a file built to pass the check
// sum, so that the fields behind it are what the reader refuses.
std::string resealed(const std::string& file) {
    const std::string body = file.substr(16, file.size() - 16 - 28);
    return file.substr(0, file.size() - 28) + digest_of(body);
}

QueryResult result_of(std::vector<std::string> names, Rows rows, std::int64_t stored_at = 0) {
    QueryResult result;
    result.column_names = std::move(names);
    result.rows = std::move(rows);
    result.stored_at = stored_at;
    return result;
}

class QueryCacheFile : public ::testing::Test {
protected:
    QueryCacheFile() { db_.get_cache().set_folder(dir_.file("cache")); }

    const Cache& cache() { return db_.get_cache(); }
    std::string file_name(const std::string& query = sql) {
        return cache().get_full_file_name(query);
    }
    void store(const QueryResult& result, const std::string& query = sql,
               const std::string& source = data_source) {
        detail::CacheFiles::store(cache(), query, source, result);
    }
    QueryResult load() { return db_.read_with_cache(sql, CachePolicy::cache_only); }
    // The message of a load of `content` as the cache file of `sql`.
    std::string load_error(const std::string& content) {
        write_file(file_name(), content);
        return error_message([&] { load(); });
    }

    TempDir dir_;
    Database db_{data_source, "", ""};
};

const QueryResult small =
    result_of({"A", "B"}, {{"x", std::nullopt}, {"", std::string("\0\n", 2)}}, 0x0102030405060708);

TEST_F(QueryCacheFile, BytesAreLaidOutAsDocumented) {
    store(small);
    const std::string body = le(1, 4) + le(154, 8) + text(sql) + text(data_source) +
                             le(0x0102030405060708, 8) + le(2, 4) + text("A") + text("B") +
                             le(2, 8) + text("x") + le(0xFFFFFFFF, 4) + text("") +
                             text(std::string("\0\n", 2));
    EXPECT_EQ(read_file(file_name()), "zel_sql_cache_00" + body + digest_of(body));
    EXPECT_EQ(std::filesystem::status(cache().get_folder()).permissions() &
                  std::filesystem::perms::owner_all,
              std::filesystem::perms::owner_all);
}

TEST_F(QueryCacheFile, EveryValueComesBackAsStored) {
    std::string all_bytes;
    for (int b = 0; b < 256; ++b) {
        all_bytes.push_back(static_cast<char>(b));
    }
    std::vector<std::string> many_names;
    std::vector<std::optional<std::string>> many_values;
    for (int i = 0; i < 500; ++i) {
        many_names.push_back("C" + std::to_string(i));
        many_values.push_back(i % 3 == 0 ? std::nullopt
                                         : std::optional<std::string>(std::to_string(i)));
    }
    const struct {
        const char* what;
        QueryResult result;
    } cases[] = {
        {"NULL, empty, every byte, line feeds, non-ASCII",
         result_of(
             {"value", "Ärger\nÖl"},
             {{std::nullopt, ""}, {all_bytes, "line 1\nline 2\r\n"}, {"ÿ\xC3\xA4 ä", std::nullopt}},
             1700000000)},
        {"a value larger than a write chunk", result_of({"v"}, {{std::string(200000, 'v')}}, -5)},
        {"no rows", result_of({"ONE", "TWO"}, {}, 42)},
        {"many columns", result_of(many_names, {many_values, many_values})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        store(c.result);
        const QueryResult loaded = load();
        EXPECT_EQ(loaded.column_names, c.result.column_names);
        EXPECT_EQ(loaded.rows, c.result.rows);
        EXPECT_EQ(loaded.stored_at, c.result.stored_at);
        EXPECT_TRUE(loaded.from_cache);
        EXPECT_EQ(loaded.message, "");
    }
}

TEST_F(QueryCacheFile, DamageIsReportedWithTheFileNameAndNoRows) {
    store(small);
    const std::string good = read_file(file_name());
    const std::string prefix = "Cache file \"" + file_name() + "\"";
    const std::string damaged = prefix + " is damaged or truncated: ";
    // Offsets: version 16, file size 20, SQL text 28, data source 68, stored_at
    // 77, column count 85, names 89, row count 99, rows 107, check sum 126.
    ASSERT_EQ(good.size(), 154u);
    const auto with_count = [&](std::size_t at, std::size_t size, std::uint64_t count) {
        std::string file = good;
        file.replace(at, size, le(count, size));
        return resealed(file);
    };
    std::string other_version = good;
    other_version.replace(16, 4, le(2, 4));
    const struct {
        const char* what;
        std::string content;
        std::string message;
    } cases[] = {
        {"empty", "", prefix + ": Cannot read header"},
        {"cut inside the header", good.substr(0, 15), prefix + ": Cannot read header"},
        {"wrong header", "zel_sql_cache_01" + good.substr(16),
         prefix + ": Invalid header \"zel_sql_cache_01\", expected \"zel_sql_cache_00\""},
        {"header only", good.substr(0, 16), damaged + "the file has 16 bytes"},
        {"cut after the version", good.substr(0, 20), damaged + "the file has 20 bytes"},
        {"cut after the file size", good.substr(0, 28),
         damaged + "the file has 28 bytes, its payload says 154"},
        {"cut after the SQL text", good.substr(0, 68),
         damaged + "the file has 68 bytes, its payload says 154"},
        {"cut after the column names", good.substr(0, 99),
         damaged + "the file has 99 bytes, its payload says 154"},
        {"cut inside the rows", good.substr(0, 110),
         damaged + "the file has 110 bytes, its payload says 154"},
        {"cut before the check sum", good.substr(0, 126),
         damaged + "the file has 126 bytes, its payload says 154"},
        {"one byte short", good.substr(0, 153),
         damaged + "the file has 153 bytes, its payload says 154"},
        {"a byte after the end", good + "\n",
         damaged + "the file has 155 bytes, its payload says 154"},
        {"a flipped byte in a value", good.substr(0, 111) + "y" + good.substr(112),
         damaged + "the check sum does not match"},
        {"unknown version", other_version, prefix + " has unknown format version 2 (expected 1)"},
        {"huge value length", with_count(107, 4, 0xFFFFFFF0u),
         damaged + "a value of 4294967280 bytes runs past the end of the payload"},
        {"huge row count", with_count(99, 8, 1ULL << 60),
         damaged + "1152921504606846976 rows do not fit the payload"},
        {"huge column count", with_count(85, 4, 0xFFFFFFF0u),
         damaged + "4294967280 column names do not fit the payload"},
        {"rows end early", with_count(99, 8, 1), damaged + "10 bytes follow the last row"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(load_error(c.content), c.message);
    }
}

// A copy of more than 1 MiB is hashed while it is decoded: still every
// damage that the check sum sees is reported as such, before anything the
// decoder found, and a resealed file's own error comes through.
TEST_F(QueryCacheFile, LargeCopiesAreCheckedAsSmallOnes) {
    Rows rows;
    for (int r = 0; r < 3000; ++r) {
        rows.push_back({std::string(400, static_cast<char>('a' + r % 26)),
                        r % 5 == 0 ? std::nullopt : std::optional<std::string>("x")});
    }
    const QueryResult large = result_of({"NAME", "CURRENT_A"}, rows, 1700000000);
    store(large);
    const std::string good = read_file(file_name());
    ASSERT_GT(good.size(), std::size_t{1} << 20);
    EXPECT_EQ(load().rows, rows);

    const std::string damaged = "Cache file \"" + file_name() + "\" is damaged or truncated: ";
    // The row count sits 8 bytes before the rows, after the two column names.
    const std::size_t row_count_at = good.find(text("CURRENT_A")) + text("CURRENT_A").size();
    std::string huge_rows = good;
    huge_rows.replace(row_count_at, 8, le(1ULL << 60, 8));
    std::string flipped = good;
    flipped[good.size() / 2] = static_cast<char>(flipped[good.size() / 2] ^ 1);
    const struct {
        const char* what;
        std::string content;
        std::string message;
    } cases[] = {
        {"a flipped byte in a value", flipped, damaged + "the check sum does not match"},
        {"a huge row count", huge_rows, damaged + "the check sum does not match"},
        {"a huge row count, resealed", resealed(huge_rows),
         damaged + "1152921504606846976 rows do not fit the payload"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(load_error(c.content), c.message);
    }
}

TEST_F(QueryCacheFile, NoChangedByteOrShorterPayloadIsTakenForData) {
    store(small);
    const std::string payload = read_file(file_name()).substr(16);
    const auto refused = [](const std::string& bytes) {
        try {
            detail::read_cache_payload(bytes);
        } catch (const detail::PayloadError&) {
            return true;
        }
        return false;
    };
    for (std::size_t i = 0; i < payload.size(); ++i) {
        for (const int bit : {0x01, 0x80}) {
            std::string changed = payload;
            changed[i] = static_cast<char>(changed[i] ^ bit);
            EXPECT_TRUE(refused(changed)) << "byte " << i << " bit " << bit;
        }
        EXPECT_TRUE(refused(payload.substr(0, i))) << "length " << i;
    }
    EXPECT_EQ(detail::read_cache_payload(payload).result.rows, small.rows);
}

TEST_F(QueryCacheFile, AnotherQueryOrDataSourceIsNoCopy) {
    const std::string other_sql = "SELECT NAME FROM BEAMLINES";
    store(small, other_sql);
    std::filesystem::create_directories(cache().get_folder());
    std::filesystem::rename(file_name(other_sql), file_name());
    EXPECT_EQ(error_message([&] { load(); }),
              "Cache file \"" + file_name() + "\" holds the result of another query: " + other_sql);

    store(small, sql, "accel_test");
    EXPECT_EQ(error_message([&] { load(); }),
              "Cache file \"" + file_name() +
                  "\" was stored through data source \"accel_test\", "
                  "not \"accel\"");
    EXPECT_EQ(error_message([&] { db_.read_with_cache("SELECT 1", CachePolicy::cache_only); }),
              "Cannot open input file \"" + file_name("SELECT 1") + "\"");
}

TEST_F(QueryCacheFile, StoreThatFailsPartWayLeavesTheOldCopy) {
    store(small);
    const std::string old_file = read_file(file_name());
    const QueryResult big = result_of({"v"}, {{std::string(100000, 'b')}});
    const std::string report = run_with_file_size_limit(4096, [&] {
        try {
            store(big);
            return std::string("stored");
        } catch (const Error& e) {
            return e.get_message();
        }
    });
    EXPECT_EQ(report, "Error while writing cache file \"" + file_name() + "\": File too large");
    EXPECT_EQ(read_file(file_name()), old_file);
    EXPECT_EQ(load().rows, small.rows);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(cache().get_folder()),
                            std::filesystem::directory_iterator()),
              1)
        << "temporary file left behind";
}

TEST_F(QueryCacheFile, RacingStoresEachLeaveOneCompleteFile) {
    const QueryResult first = result_of({"v"}, Rows(300, {std::string(1000, '1')}));
    const QueryResult second = result_of({"v"}, Rows(200, {std::string(2000, '2')}));
    store(first);
    std::vector<pid_t> writers;
    for (const QueryResult* result : {&first, &second}) {
        const pid_t child = ::fork();
        if (child == 0) {
            for (int i = 0; i < 30; ++i) {
                store(*result);
            }
            ::_exit(0);
        }
        writers.push_back(child);
    }
    for (int i = 0; i < 60; ++i) {
        const QueryResult loaded = load();
        EXPECT_TRUE(loaded.rows == first.rows || loaded.rows == second.rows);
    }
    for (const pid_t child : writers) {
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(cache().get_folder()),
                            std::filesystem::directory_iterator()),
              1);
}

// --- pruning -------------------------------------------------------------------------

void set_age(const std::string& path, int seconds) {
    timeval times[2];
    ::gettimeofday(&times[0], nullptr);
    times[0].tv_sec -= seconds;
    times[1] = times[0];
    ASSERT_EQ(::lutimes(path.c_str(), times), 0) << path;
}

TEST(CachePruning, RemovesOnlyOldFilesWithCacheFileNames) {
    TempDir dir;
    Cache cache;
    cache.set_folder(dir.path());
    const std::string hex56(56, 'a');
    const std::vector<std::string> old_cache_files = {
        cache.get_full_file_name("SELECT 1"),
        dir.file(std::string(28, '0') + std::string(28, 'f') + ".dat"),
    };
    const std::vector<std::string> kept = {
        cache.get_full_file_name("SELECT 2"),  // young
        dir.file(std::string(56, 'A') + ".dat"),
        dir.file(std::string(55, 'a') + ".dat"),
        dir.file(hex56 + "a.dat"),
        dir.file(hex56 + ".dat.tmp"),
        dir.file(hex56 + ".DAT"),
        dir.file(std::string(55, 'a') + "g.dat"),
        dir.file("db_component_list_MIRAN.txt"),
    };
    for (const auto& path : old_cache_files) {
        write_file(path, "zel_sql_cache_00");
        set_age(path, 7200);
    }
    for (std::size_t i = 0; i < kept.size(); ++i) {
        write_file(kept[i], "zel_sql_cache_00");
        if (i > 0) {
            set_age(kept[i], 7200);
        }
    }
    // Entries with a cache file's name that are no regular files.
    const std::string folder = dir.file(std::string(56, 'b') + ".dat");
    std::filesystem::create_directory(folder);
    set_age(folder, 7200);
    const std::string link = dir.file(std::string(56, 'c') + ".dat");
    std::filesystem::create_symlink(kept.back(), link);
    set_age(link, 7200);

    // Temporary files of stores that died are removed, and not counted: one
    // older than an hour, and one of a process that no longer exists.
    // The temporary file of a store still running in this process stays.
    const std::string running =
        dir.file("." + hex56 + ".dat.tmp." + std::to_string(::getpid()) + ".0");
    write_file(running, "zel_sql_cache_00");
    set_age(running, 60);
    const std::string stale_old = dir.file("." + hex56 + ".dat.tmp.123.0");
    const std::string stale_dead =
        dir.file("." + hex56 + ".dat.tmp." + zel::sql::test::dead_pid() + ".1f");
    write_file(stale_old, "zel_sql_cache_00");
    set_age(stale_old, 7200);
    write_file(stale_dead, "zel_sql_cache_00");

    EXPECT_EQ(cache.remove_older_than(std::chrono::hours(3)), 0u);
    EXPECT_FALSE(std::filesystem::exists(stale_old));
    EXPECT_FALSE(std::filesystem::exists(stale_dead));
    EXPECT_TRUE(std::filesystem::exists(running));
    EXPECT_EQ(cache.remove_older_than(std::chrono::hours(1)), old_cache_files.size());
    for (const auto& path : old_cache_files) {
        EXPECT_FALSE(std::filesystem::exists(path)) << path;
    }
    for (const auto& path : kept) {
        EXPECT_TRUE(std::filesystem::exists(path)) << path;
    }
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(cache.remove_older_than(std::chrono::hours(1)), 0u);
    EXPECT_EQ(cache.remove_older_than(std::chrono::seconds(0)), 1u) << "the young one";
}

TEST(CachePruning, MissingFolderHoldsNothingUnreadableFolderThrows) {
    TempDir dir;
    Cache cache;
    cache.set_folder(dir.file("never_created"));
    EXPECT_EQ(cache.remove_older_than(std::chrono::seconds(0)), 0u);
    write_file(dir.file("plain"), "");
    cache.set_folder(dir.file("plain"));
    EXPECT_EQ(error_message([&] { cache.remove_older_than(std::chrono::seconds(0)); }),
              "Cannot read cache folder \"" + dir.file("plain") + "\"");
}

// Ages of millennia, or the largest a duration holds, keep every copy; the
// most negative removes every one. None overflows on the way.
TEST(CachePruning, AgesOfAnySizeSaturate) {
    TempDir dir;
    Cache cache;
    cache.set_folder(dir.path());
    const std::string hex56(56, 'a');
    struct AgeCase {
        std::chrono::seconds age;
        std::size_t removed;
    };
    const AgeCase cases[] = {
        {std::chrono::hours(24 * 110000), 0u}, {std::chrono::hours(24 * 7 * 15650), 0u},
        {std::chrono::seconds::max(), 0u},     {std::chrono::hours(1), 1u},
        {std::chrono::seconds::min(), 2u},
    };
    for (const AgeCase& c : cases) {
        write_file(dir.file(hex56 + ".dat"), "zel_sql_cache_00");
        set_age(dir.file(hex56 + ".dat"), 7200);
        write_file(dir.file(std::string(56, 'b') + ".dat"), "zel_sql_cache_00");
        EXPECT_EQ(cache.remove_older_than(c.age), c.removed) << c.age.count();
    }
}

}  // namespace
}  // namespace zel::sql
