// Query results read through the cache on real drivers: awkward values that
// must come back from the cache file exactly as the database gave them, the
// policies against a table that changes and then vanishes, and a server that
// stops under a Database that keeps reading.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backend_fixture.h"
#include "backends.h"
#include "connections.h"
#include "server_control.h"
#include "test_support.h"
#include "zel/Error.h"
#include "zel/sql/Database.h"

namespace zel::sql::test::integration {
namespace {

using test::error_message;
using test::TempWorkingDir;
using ::testing::AnyOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Rows = std::vector<std::vector<std::optional<std::string>>>;

std::string lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// The database's read and the cache's copy of `sql` must agree in every byte.
QueryResult read_and_reread(Database& db, const std::string& sql) {
    const QueryResult read = db.read_with_cache(sql);
    EXPECT_FALSE(read.from_cache);
    EXPECT_EQ(read.message, "");
    const QueryResult cached = db.read_with_cache(sql, CachePolicy::cache_only);
    EXPECT_TRUE(cached.from_cache);
    EXPECT_EQ(cached.column_names, read.column_names);
    EXPECT_TRUE(cached.rows == read.rows) << "the cached rows differ from the database's";
    EXPECT_EQ(cached.stored_at, read.stored_at);
    return read;
}

class QueryCacheRoundTrip : public BackendTestInScratchDir {};

TEST_P(QueryCacheRoundTrip, AwkwardValuesComeBackExactly) {
    // MariaDB reads a backslash in a literal as an escape: written twice
    // there, it arrives once everywhere.
    const std::string backslash = GetParam().is_mariadb ? "\\\\" : "\\";
    const QueryResult result = read_and_reread(
        *db_,
        "SELECT 1 AS id, NULL AS absent, '' AS empty, 'line 1\nline 2\n' AS two_lines, "
        "'\xc3\x84rger \xc3\x96l \xe2\x82\xac' AS non_ascii, '" +
            backslash + "x00" + backslash +
            "xff \x01\x02\x7f %s '' \"' AS binary_looking "
            "UNION ALL SELECT 2, 'x', ' ', '', '\xc3\x9f', NULL ORDER BY id");
    EXPECT_EQ(result.column_names, (std::vector<std::string>{"id", "absent", "empty", "two_lines",
                                                             "non_ascii", "binary_looking"}));
    EXPECT_EQ(result.rows,
              (Rows{{"1", std::nullopt, "", "line 1\nline 2\n",
                     "\xc3\x84rger \xc3\x96l \xe2\x82\xac", "\\x00\\xff \x01\x02\x7f %s ' \""},
                    {"2", "x", " ", "", "\xc3\x9f", std::nullopt}}));
}

TEST_P(QueryCacheRoundTrip, TenMebibyteValue) {
    const QueryResult result = read_and_reread(*db_, "SELECT big_text FROM big_values");
    ASSERT_EQ(result.rows.size(), 1u);
    const std::string& text = result.rows[0][0].value();
    EXPECT_EQ(text.size(), 10u * 1024 * 1024);
    EXPECT_THAT(text, StartsWith("0000000,0000001,"));
    EXPECT_EQ(text.substr(text.size() - 16), "1310718,1310719,");
}

TEST_P(QueryCacheRoundTrip, NoRowsAndManyColumns) {
    const QueryResult none = read_and_reread(*db_, "SELECT 1 AS one, 'a' AS two WHERE 1 = 0");
    EXPECT_EQ(none.column_names, (std::vector<std::string>{"one", "two"}));
    EXPECT_TRUE(none.rows.empty());

    std::string sql = "SELECT 0 AS c0";
    std::vector<std::optional<std::string>> row{"0"};
    for (int i = 1; i < 300; ++i) {
        sql += ", " + std::to_string(i) + " AS c" + std::to_string(i);
        row.emplace_back(std::to_string(i));
    }
    const QueryResult wide = read_and_reread(*db_, sql + " UNION ALL " + sql);
    EXPECT_EQ(wide.column_names.size(), 300u);
    EXPECT_EQ(wide.column_names.back(), "c299");
    EXPECT_EQ(wide.rows, (Rows{row, row}));
}

ZEL_SQL_ON_EVERY_BACKEND(QueryCacheRoundTrip);

class QueryCachePolicies : public BackendTestInScratchDir {};

TEST_P(QueryCachePolicies, ChangingThenVanishingTable) {
    // A table of this test's own: the tests of the other backends run beside it.
    const std::string table = "TAVIK.cache_policy_" + lower(GetParam().name);
    db_->send_query("DROP TABLE IF EXISTS " + table);
    db_->send_query("CREATE TABLE " + table + " (n INTEGER)");
    db_->send_query("INSERT INTO " + table + " VALUES (1)");
    const std::string sql = "SELECT n FROM " + table + " ORDER BY n";
    const std::string file = db_->get_cache().get_full_file_name(sql);
    const std::string missing = "Cannot open input file \"" + file + "\"";
    const auto read = [&](CachePolicy policy, std::chrono::seconds max_age) {
        return db_->read_with_cache(sql, policy, max_age);
    };
    const std::chrono::seconds hour{3600};
    const std::chrono::seconds none{0};

    EXPECT_EQ(error_message([&] { read(CachePolicy::cache_only, none); }), missing);
    EXPECT_FALSE(std::filesystem::exists("db_cache")) << "a failed read creates nothing";

    QueryResult result = read(CachePolicy::prefer_cache, hour);
    EXPECT_EQ(result.rows, (Rows{{"1"}}));
    EXPECT_FALSE(result.from_cache);
    EXPECT_TRUE(std::filesystem::exists(file));

    db_->send_query("INSERT INTO " + table + " VALUES (2)");
    result = read(CachePolicy::prefer_cache, hour);
    EXPECT_EQ(result.rows, (Rows{{"1"}})) << "a fresh copy answers";
    EXPECT_TRUE(result.from_cache);
    EXPECT_EQ(result.message, "");
    result = read(CachePolicy::prefer_cache, none);
    EXPECT_EQ(result.rows, (Rows{{"1"}, {"2"}})) << "no copy is fresh enough";
    EXPECT_FALSE(result.from_cache);
    db_->send_query("INSERT INTO " + table + " VALUES (3)");
    EXPECT_EQ(read(CachePolicy::cache_only, none).rows, (Rows{{"1"}, {"2"}}));
    EXPECT_EQ(read(CachePolicy::fallback, none).rows, (Rows{{"1"}, {"2"}, {"3"}}));

    db_->send_query("DROP TABLE " + table);
    for (const CachePolicy policy : {CachePolicy::fallback, CachePolicy::prefer_cache}) {
        result = read(policy, none);
        EXPECT_EQ(result.rows, (Rows{{"1"}, {"2"}, {"3"}}));
        EXPECT_TRUE(result.from_cache);
        EXPECT_THAT(result.message, StartsWith("Query failed: "));
        EXPECT_THAT(result.message, AnyOf(HasSubstr("no such table"), HasSubstr("does not exist"),
                                          HasSubstr("doesn't exist")));
    }

    std::filesystem::remove(file);
    const std::string message = error_message([&] { read(CachePolicy::fallback, none); });
    EXPECT_THAT(message, StartsWith("Query failed: "));
    EXPECT_THAT(message, testing::EndsWith(" (" + sql + "); " + missing));
}

ZEL_SQL_ON_EVERY_BACKEND(QueryCachePolicies);

// Cluster "cache" belongs to this test alone.
TEST(QueryCacheServerOutage, StoredCopyAnswersWithTheReason) {
    const char* const data_source = "zel_pg_cache";
    resume_server("cache");
    wait_for_login(data_source);
    TempWorkingDir scratch;
    const std::string sql = "SELECT name, x FROM tavik.miran_components ORDER BY seq";
    Database db(data_source, reader, reader_password);
    const QueryResult first = db.read_with_cache(sql);
    ASSERT_EQ(first.message, "");
    ASSERT_EQ(first.rows.size(), 4u);
    EXPECT_EQ(first.rows[0], (std::vector<std::optional<std::string>>{"QUAD_01", "0.125"}));
    EXPECT_EQ(first.rows[2][1], std::nullopt);

    ServerHalt halt("cache");
    const auto database_error = [&](Database& other) {
        return error_message([&] { other.send_query(sql); });
    };
    Database fresh(data_source, reader, reader_password);
    const QueryResult from_fresh = fresh.read_with_cache(sql);
    EXPECT_TRUE(from_fresh.from_cache);
    EXPECT_EQ(from_fresh.rows, first.rows);
    EXPECT_EQ(from_fresh.column_names, first.column_names);
    EXPECT_EQ(from_fresh.stored_at, first.stored_at);
    EXPECT_EQ(from_fresh.message, database_error(fresh));

    // The Database that read before the outage fails on its dead connection.
    const QueryResult from_old = db.read_with_cache(sql);
    EXPECT_TRUE(from_old.from_cache);
    EXPECT_EQ(from_old.rows, first.rows);
    EXPECT_NE(from_old.message, "");
}

}  // namespace
}  // namespace zel::sql::test::integration
