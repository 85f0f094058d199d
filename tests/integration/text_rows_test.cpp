// The text read of read_with_cache, which fetches into bound buffers in row
// arrays and completes long values with SQLGetData, against the plain
// SQLGetData path (Query::get_column_as_string, column after column) on each
// real driver: the same rows, byte for byte.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

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

class TextRowsOnDrivers : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override { db_ = open_database(GetParam()); }

    void expect_same_rows(const std::string& sql, std::size_t expected_rows) {
        SCOPED_TRACE(sql.substr(0, 200));
        const QueryResult bound = db_->read_with_cache(sql);
        ASSERT_EQ(bound.message, "");
        ASSERT_EQ(bound.rows.size(), expected_rows);
        EXPECT_TRUE(bound.rows == get_data_rows(*db_, sql)) << "the two reads differ";
    }

    TempWorkingDir scratch_;
    std::unique_ptr<Database> db_;
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

INSTANTIATE_TEST_SUITE_P(Drivers, TextRowsOnDrivers, ::testing::ValuesIn(all_backends()),
                         BackendName());

}  // namespace
}  // namespace zel::sql::test::integration
