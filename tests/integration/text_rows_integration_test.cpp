// The text read of read_with_cache, which fetches into bound buffers in row
// arrays and completes long values with SQLGetData, against the plain
// SQLGetData path (Query::get_column_as_string, column after column) on each
// real driver: the same rows, byte for byte.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backend_fixture.h"
#include "backends.h"
#include "connections.h"
#include "test_support.h"
#include "zel/sql/Database.h"

namespace zel::sql::test::integration {
namespace {

using Rows = std::vector<std::vector<std::optional<std::string>>>;

Rows get_data_rows(Database& db, const std::string& sql) {
    Query query = db.send_query(sql);
    const int columns = query.get_num_result_columns();
    Rows rows;
    while (query.fetch_checked()) {
        auto& row = rows.emplace_back();
        for (int column = 1; column <= columns; ++column) {
            bool was_null = false;
            std::string value = query.get_column_as_string(column, &was_null);
            row.push_back(was_null ? std::nullopt : std::optional<std::string>(value));
        }
    }
    return rows;
}

// `length` characters, as an expression of the backend's SQL.
std::string repeated(const Backend& backend, std::size_t length) {
    const std::string n = std::to_string(length);
    if (backend.is_sqlite) {
        return "replace(hex(zeroblob(" + n + ")), '00', 'xy')";  // two characters per byte
    }
    return "repeat('x', " + n + ")";
}

class TextRowsOnDrivers : public BackendTestInScratchDir {
protected:
    void expect_same_rows(const std::string& sql, std::size_t expected_rows) {
        SCOPED_TRACE(sql.substr(0, 200));
        const QueryResult bound = db_->read_with_cache(sql);
        ASSERT_EQ(bound.message, "");
        ASSERT_EQ(bound.rows.size(), expected_rows);
        EXPECT_TRUE(bound.rows == get_data_rows(*db_, sql)) << "the two reads differ";
    }
};

// Lengths around the 256 bytes of a column of unknown size and around the
// first piece of the completion, a NULL in every position, in one result of
// many rows so that several row arrays are fetched.
TEST_P(TextRowsOnDrivers, LengthsAroundTheBuffersAndNullsInEveryPosition) {
    const Backend& backend = GetParam();
    const std::size_t lengths[] = {0, 1, 127, 128, 129, 255, 256, 257, 4095, 4096, 40000};
    std::string sql;
    std::size_t rows = 0;
    for (const std::size_t length : lengths) {
        for (int null_at = 0; null_at < 4; ++null_at) {
            std::string row = "SELECT " + std::to_string(rows) + " AS id";
            for (int column = 0; column < 3; ++column) {
                row += ", " +
                       (column == null_at ? std::string("NULL") : repeated(backend, length)) +
                       " AS c" + std::to_string(column);
            }
            sql += (sql.empty() ? "" : " UNION ALL ") + row;
            ++rows;
        }
    }
    expect_same_rows("SELECT * FROM (" + sql + ") t ORDER BY id", rows);
}

TEST_P(TextRowsOnDrivers, TenMebibytesThreeHundredColumnsAndAComponentView) {
    expect_same_rows("SELECT big_text FROM big_values", 1);
    std::string wide = "SELECT 0 AS c0";
    for (int i = 1; i < 300; ++i) {
        wide += ", " + std::to_string(i) + " AS c" + std::to_string(i);
    }
    expect_same_rows(wide + " UNION ALL " + wide, 2);
    const QueryResult view = db_->read_with_cache("SELECT * FROM TAVIK.MIRAN_VIEW_COMPONENTS");
    ASSERT_EQ(view.message, "");
    EXPECT_TRUE(view.rows == get_data_rows(*db_, "SELECT * FROM TAVIK.MIRAN_VIEW_COMPONENTS"));
}

// Every column of a small declared size, so that psqlODBC reads row arrays,
// over many rowsets, with values longer than their columns declare where the
// driver lets them be: psqlODBC declares 255 characters for a varchar without
// a length, SQLite never checks its VARCHAR(8). Lengths from 0 to 1,999 cross
// the 1,036 bytes of a 255-character buffer; PostgreSQL adds a 10 MiB value
// in a rowset's middle; NULLs in the other column.
TEST_P(TextRowsOnDrivers, SmallDeclaredSizesOverManyRowsets) {
    const Backend& backend = GetParam();
    std::string sql;
    if (backend.is_sqlite) {
        db_->send_query(
            "CREATE TEMP TABLE declared_small (id INTEGER, n VARCHAR(8), v VARCHAR(12))");
        db_->send_query(
            "INSERT INTO declared_small WITH RECURSIVE s(g) AS (SELECT 1 UNION ALL SELECT g + 1 "
            "FROM s WHERE g < 3000) SELECT g, substr(replace(hex(zeroblob(1000)), '00', '7x'), 1, "
            "g % 2000), CASE WHEN g % 7 = 3 THEN NULL ELSE g END FROM s");
        sql = "SELECT * FROM declared_small ORDER BY id";
    } else if (backend.is_mariadb) {
        // Recursion stops at 1,000 rows by default: three copies of them.
        sql =
            "WITH RECURSIVE s(g) AS (SELECT 1 UNION ALL SELECT g + 1 FROM s WHERE g < 1000), "
            "t AS (SELECT s.g + 1000 * k.k AS g FROM s, (SELECT 0 AS k UNION ALL SELECT 1 "
            "UNION ALL SELECT 2) AS k) SELECT g AS id, REPEAT('7', g % 2000) AS n, CASE WHEN "
            "g % 7 = 3 THEN NULL ELSE CAST(g AS CHAR(12)) END AS v FROM t ORDER BY g";
    } else {
        sql =
            "SELECT g AS id, CASE WHEN g = 1500 THEN repeat('y', 10485760) ELSE repeat('7', g % "
            "2000) END::varchar AS n, CASE WHEN g % 7 = 3 THEN NULL ELSE CAST(g AS varchar(12)) "
            "END AS v FROM generate_series(1, 3000) AS g ORDER BY g";
    }
    expect_same_rows(sql, 3000);
}

ZEL_SQL_ON_EVERY_BACKEND(TextRowsOnDrivers);

}  // namespace
}  // namespace zel::sql::test::integration
