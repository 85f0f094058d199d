// Database::read_with_cache against the fake: the calls that read a result,
// failures injected at each of them, and which policy contacts the database.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cache/cache_file.h"
#include "fake_odbc.h"
#include "fake_odbc_test.h"
#include "test_support.h"
#include "zel/Error.h"
#include "zel/sql/Database.h"

namespace zel::sql::test {
namespace {

using fake_odbc::Fn;
using zel::sql::CachePolicy;
using zel::sql::Database;
using zel::sql::QueryResult;
using zel::sql::test::error_message;
using zel::sql::test::TempDir;
using zel::sql::test::write_file;

using Rows = std::vector<std::vector<std::optional<std::string>>>;

const std::string sql = "SELECT NAME, CURRENT_A FROM SUPPLIES";

std::int64_t now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

fake_odbc::ResultSet supplies() {
    fake_odbc::ResultSet result(2);
    // Declared sizes as a driver gives them; the 2,500-byte name exceeds its.
    result.names({"NAME", "CURRENT_A"})
        .sizes({40, 10})
        .row({fake_odbc::text("PS_Q1"), fake_odbc::text("12.5")})
        .row({fake_odbc::text(std::string(2500, 'x')), fake_odbc::null()})
        .row({fake_odbc::text(""), fake_odbc::text("0")});
    return result;
}

const Rows supplies_rows{{"PS_Q1", "12.5"}, {std::string(2500, 'x'), std::nullopt}, {"", "0"}};

class ReadWithCacheTest : public zel::sql::test::FakeOdbcTest {
protected:
    void SetUp() override {
        FakeOdbcTest::SetUp();
        renew();
    }

    void TearDown() override {
        db_.reset();
        FakeOdbcTest::TearDown();
    }

    // A new Database on a fresh fake, with `result` for `sql`.
    void renew(std::optional<fake_odbc::ResultSet> result = std::nullopt) {
        db_.reset();
        fake_odbc::reset();
        if (result) {
            fake_odbc::set_result_set_for(sql, *result);
        }
        db_ = std::make_unique<Database>("accel", "reader", "pw");
        db_->get_cache().set_folder(dir_.file("cache"));
    }

    // Stores `rows` as this data source's copy of `sql`, read `age` seconds
    // ago, and returns its stored_at.
    std::int64_t store_copy(const Rows& rows, std::int64_t age) {
        QueryResult copy;
        copy.column_names = {"NAME", "CURRENT_A"};
        copy.rows = rows;
        copy.stored_at = now() - age;
        zel::sql::detail::CacheFiles::store(db_->get_cache(), sql, "accel", copy);
        return copy.stored_at;
    }

    TempDir dir_;
    std::unique_ptr<Database> db_;
};

TEST_F(ReadWithCacheTest, OneQueryDescribedThenEveryValueReadAsText) {
    fake_odbc::set_result_set_for(sql, supplies());
    const std::int64_t before = now();
    const QueryResult result = db_->read_with_cache(sql);

    EXPECT_EQ(result.column_names, (std::vector<std::string>{"NAME", "CURRENT_A"}));
    EXPECT_EQ(result.rows, supplies_rows);
    EXPECT_FALSE(result.from_cache);
    EXPECT_EQ(result.message, "");
    EXPECT_GE(result.stored_at, before);
    EXPECT_LE(result.stored_at, now());

    // After the execution: the names, the declared sizes, whether the driver
    // can read a value again in a rowset (this one cannot: one row per
    // fetch), one bound character buffer per column, a fetch per row, in which the 2,500-byte
    // name (beyond its declared 40 characters) is read again whole with
    // SQLGetData (a first piece of 1,024 bytes that tells the length, then the
    // rest), the end of the rows, and the bindings undone.
    std::vector<std::string> reads;
    bool executed = false;
    for (const fake_odbc::Call& call : fake_odbc::calls()) {
        executed = executed || call.fn == Fn::exec_direct;
        if (executed && call.fn != Fn::get_diag_rec && call.fn != Fn::cancel &&
            call.fn != Fn::free_handle) {
            reads.emplace_back(call.name());
        }
    }
    EXPECT_EQ(reads, (std::vector<std::string>{
                         "SQLExecDirect", "SQLNumResultCols", "SQLDescribeCol", "SQLDescribeCol",
                         "SQLDescribeCol", "SQLDescribeCol", "SQLGetInfo", "SQLBindCol",
                         "SQLBindCol", "SQLFetch", "SQLFetch", "SQLGetData", "SQLGetData",
                         "SQLFetch", "SQLFetch", "SQLFreeStmt"}));

    EXPECT_EQ(fake_odbc::nth_call(Fn::exec_direct, 0).text(), sql);
    EXPECT_EQ(fake_odbc::nth_call(Fn::get_data, 0).number(1), 1);  // its first column
    for (const fake_odbc::Call& call : fake_odbc::calls_of(Fn::bind_col)) {
        EXPECT_EQ(call.number(2), SQL_C_CHAR);
    }
    EXPECT_EQ(fake_odbc::nth_call(Fn::bind_col, 0).number(4), 40 * 4 + 16);
    for (const fake_odbc::Call& call : fake_odbc::calls_of(Fn::get_data)) {
        EXPECT_EQ(call.number(2), SQL_C_CHAR);
    }
    EXPECT_EQ(fake_odbc::nth_call(Fn::free_stmt, 0).number(1), SQL_UNBIND);
    // The stored copy answers alone now.
    fake_odbc::clear_calls();
    const QueryResult cached = db_->read_with_cache(sql, CachePolicy::cache_only);
    EXPECT_TRUE(fake_odbc::calls().empty());
    EXPECT_TRUE(cached.from_cache);
    EXPECT_EQ(cached.rows, supplies_rows);
    EXPECT_EQ(cached.column_names, result.column_names);
    EXPECT_EQ(cached.stored_at, result.stored_at);
}

TEST_F(ReadWithCacheTest, AFailureAtAnyStepOfTheReadFallsBackToTheCopy) {
    const struct {
        const char* what;
        Fn fn;
        int call_number;
        std::string message;
    } failures[] = {
        {"execution", Fn::exec_direct, 1, "Query failed: server gone (" + sql + ")"},
        {"column count", Fn::num_result_cols, 1, "Unable to count result columns: server gone"},
        {"column name", Fn::describe_col, 2, "Unable to describe column 2: server gone"},
        {"column size", Fn::describe_col, 3, "Unable to describe column 1: server gone"},
        {"binding", Fn::bind_col, 2, "Unable to bind to column 2: server gone"},
        // A fetch error after some rows is no end of the rows.
        {"second fetch", Fn::fetch, 2, "Fetch failed: server gone (" + sql + ")"},
        {"a long value", Fn::get_data, 1, "Error while retrieving data from column 1: server gone"},
    };
    const std::int64_t stored_at = store_copy({{"OLD", "1"}}, 3600);
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure.what);
        renew(supplies());
        fake_odbc::set_result_at(failure.fn, failure.call_number, SQL_ERROR, {"server gone"});
        const QueryResult result = db_->read_with_cache(sql);
        EXPECT_TRUE(result.from_cache);
        EXPECT_EQ(result.message, failure.message);
        EXPECT_EQ(result.rows, (Rows{{"OLD", "1"}}));
        EXPECT_EQ(result.column_names, (std::vector<std::string>{"NAME", "CURRENT_A"}));
        EXPECT_EQ(result.stored_at, stored_at);
    }
}

TEST_F(ReadWithCacheTest, WhichPolicyContactsTheDatabase) {
    const std::string missing =
        "Cannot open input file \"" + db_->get_cache().get_full_file_name(sql) + "\"";
    const struct {
        const char* what;
        CachePolicy policy;
        std::chrono::seconds max_age;
        std::optional<std::int64_t> copy_age;  // no copy when empty
        bool database_read;
        std::optional<Rows> rows;  // the call throws `error` when empty
        std::string error;
    } cases[] = {
        {"fallback without a copy", CachePolicy::fallback, std::chrono::seconds{0}, std::nullopt,
         true, supplies_rows, ""},
        {"fallback with a copy", CachePolicy::fallback, std::chrono::seconds{3600}, 10, true,
         supplies_rows, ""},
        {"fresh copy", CachePolicy::prefer_cache, std::chrono::seconds{60}, 10, false,
         Rows{{"OLD", "1"}}, ""},
        {"stale copy", CachePolicy::prefer_cache, std::chrono::seconds{60}, 60, true, supplies_rows,
         ""},
        {"default age: no copy is fresh", CachePolicy::prefer_cache, std::chrono::seconds{0}, 0,
         true, supplies_rows, ""},
        {"copy from the future", CachePolicy::prefer_cache, std::chrono::seconds{60}, -30, true,
         supplies_rows, ""},
        {"prefer_cache without a copy", CachePolicy::prefer_cache, std::chrono::seconds{60},
         std::nullopt, true, supplies_rows, ""},
        {"cache only", CachePolicy::cache_only, std::chrono::seconds{0}, 100000, false,
         Rows{{"OLD", "1"}}, ""},
        {"cache only without a copy", CachePolicy::cache_only, std::chrono::seconds{0},
         std::nullopt, false, std::nullopt, missing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(db_->get_cache().get_folder());
        if (c.copy_age) {
            store_copy({{"OLD", "1"}}, *c.copy_age);
        }
        renew(supplies());
        if (c.rows) {
            const QueryResult result = db_->read_with_cache(sql, c.policy, c.max_age);
            EXPECT_EQ(result.rows, *c.rows);
            EXPECT_EQ(result.from_cache, !c.database_read);
            EXPECT_EQ(result.message, "");
        } else {
            EXPECT_EQ(error_message([&] { db_->read_with_cache(sql, c.policy, c.max_age); }),
                      c.error);
        }
        EXPECT_EQ(fake_odbc::count(Fn::exec_direct), c.database_read ? 1 : 0);
        EXPECT_EQ(fake_odbc::count(Fn::connect), c.database_read ? 1 : 0);
        if (c.database_read) {
            // Every database read replaces the copy.
            EXPECT_EQ(db_->read_with_cache(sql, CachePolicy::cache_only).rows, supplies_rows);
        }
    }
}

TEST_F(ReadWithCacheTest, NeitherDatabaseNorCopyJoinsBothMessages) {
    fake_odbc::set_result(Fn::exec_direct, SQL_ERROR, {"server gone"});
    EXPECT_EQ(error_message([&] { db_->read_with_cache(sql); }),
              "Query failed: server gone (" + sql + "); Cannot open input file \"" +
                  db_->get_cache().get_full_file_name(sql) + "\"");
    EXPECT_FALSE(std::filesystem::exists(db_->get_cache().get_folder()));

    // The joined error still tells a caller what the database said.
    fake_odbc::set_result(Fn::exec_direct, SQL_ERROR,
                          {fake_odbc::Diagnostic("[drv]down", "08S01", 17)});
    const auto error = zel::sql::test::database_error([&] { db_->read_with_cache(sql); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->get_sqlstate(), "08S01");
    EXPECT_EQ(error->get_native_error(), 17);
}

TEST_F(ReadWithCacheTest, FailedStoreReturnsTheRowsWithTheReason) {
    // A regular file where the cache folder should be.
    write_file(dir_.file("cache"), "not a folder");
    fake_odbc::set_result_set_for(sql, supplies());
    const QueryResult result = db_->read_with_cache(sql);
    EXPECT_EQ(result.rows, supplies_rows);
    EXPECT_FALSE(result.from_cache);
    EXPECT_EQ(result.message, "Unable to create cache folder \"" + dir_.file("cache") + "\"");
}

TEST_F(ReadWithCacheTest, StatementWithoutRowsIsNoResultToCache) {
    const std::string insert = "INSERT INTO SUPPLIES VALUES ('PS_Q2', 3)";
    EXPECT_EQ(error_message([&] { db_->read_with_cache(insert); }),
              "Query returned no result set (" + insert + "); Cannot open input file \"" +
                  db_->get_cache().get_full_file_name(insert) + "\"");
    EXPECT_EQ(fake_odbc::count(Fn::fetch), 0);
}

TEST_F(ReadWithCacheTest, LongColumnNameIsAskedForAgainWhole) {
    const std::string long_name(700, 'N');
    fake_odbc::ResultSet result(1);
    result.names({long_name}).row({fake_odbc::text("v")});
    fake_odbc::set_result_set_for(sql, result);
    EXPECT_EQ(db_->read_with_cache(sql).column_names, (std::vector<std::string>{long_name}));
    const auto describes = fake_odbc::calls_of(Fn::describe_col);
    ASSERT_EQ(describes.size(), 3u);
    EXPECT_EQ(describes[0].number(3), 256);
    EXPECT_EQ(describes[1].number(3), 701);
    EXPECT_EQ(describes[2].number(3), 0);  // the declared size only
}

}  // namespace
}  // namespace zel::sql::test
