// The read of every row as text (src/odbc/text_rows.h) against the fake: bound
// character buffers, one row per fetch or in row arrays, values completed
// with SQLGetData (in a rowset after SQLSetPos to their row), and the same
// rows as the plain SQLGetData path (Query::get_column_as_string) in every
// case.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "fake_odbc.h"
#include "fake_odbc_test.h"
#include "odbc/text_rows.h"
#include "test_support.h"
#include "zel/sql/Query.h"

namespace zel::sql::test {
namespace {

using fake_odbc::Fn;
using zel::sql::Query;
using zel::sql::detail::read_text_rows;
using zel::sql::detail::TextRow;

const std::string sql = "SELECT * FROM T";
// A column declared with 60 characters gets this many bytes per row, the
// terminating NUL included (four bytes per character and 16 more).
constexpr SQLULEN declared = 60;
constexpr std::size_t bound_width = 256;
// The first SQLGetData piece of a column that is not bound.
constexpr std::size_t first_piece = 1024;

// Every column bound, none bound (SQLGetData alone), and a mix.
const std::vector<std::vector<SQLULEN>> size_declarations = {
    {declared, declared, declared}, {0, 0, 0}, {declared, 0, declared}};

// A driver that can read a value again in any row of a rowset, so that a
// read whose columns are all bound goes through row arrays.
fake_odbc::DriverInfo block_cursor_driver() {
    fake_odbc::DriverInfo info;
    info.getdata_extensions |= SQL_GD_BLOCK;
    return info;
}

enum class Driver { one_row_per_fetch, row_arrays };

class TextRowsTest : public FakeOdbcTest, public ::testing::WithParamInterface<Driver> {
protected:
    void SetUp() override {
        FakeOdbcTest::SetUp();
        if (GetParam() == Driver::row_arrays) {
            fake_odbc::set_driver_info(block_cursor_driver());
        }
        connection_.emplace();
    }

    void TearDown() override {
        connection_.reset();
        FakeOdbcTest::TearDown();
    }

    // The rows of `result` through the bound read.
    std::vector<TextRow> bound_read(const fake_odbc::ResultSet& result) {
        fake_odbc::set_result_set_for(sql, result);
        Query query(sql, connection_->conn);
        return read_text_rows(query, static_cast<int>(result.columns()));
    }

    // The rows of `result` through SQLGetData alone, column after column.
    std::vector<TextRow> get_data_read(const fake_odbc::ResultSet& result) {
        fake_odbc::set_result_set_for(sql, result);
        Query query(sql, connection_->conn);
        std::vector<TextRow> rows;
        while (query.fetch_checked()) {
            TextRow& row = rows.emplace_back();
            for (int column = 1; column <= static_cast<int>(result.columns()); ++column) {
                bool was_null = false;
                std::string value = query.get_column_as_string(column, &was_null);
                row.push_back(was_null ? std::nullopt : std::optional<std::string>(value));
            }
        }
        return rows;
    }

    std::optional<Connection> connection_;
};

fake_odbc::Value text_of(std::size_t length, bool no_total) {
    // Not one letter repeated: a piece read twice or skipped would show.
    std::string bytes(length, ' ');
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>('a' + i % 23);
    }
    fake_odbc::Value value = fake_odbc::text(std::move(bytes));
    return no_total ? fake_odbc::without_total(value) : value;
}

TEST_P(TextRowsTest, ValuesAroundTheBufferSizesAndHugeOnesArriveWhole) {
    const std::size_t lengths[] = {0,
                                   1,
                                   bound_width - 2,
                                   bound_width - 1,
                                   bound_width,
                                   bound_width + 1,
                                   first_piece - 1,
                                   first_piece,
                                   first_piece + 1,
                                   70000};
    // 1 MiB once per case, far beyond every buffer, in the column that is
    // unbound in the mix. The SQLGetData reference path reads it in 1,023-byte
    // pieces and the fake records every call, which costs time in the square
    // of the length under the sanitizers; 10 MiB values are read from the real
    // servers by the integration tests.
    constexpr std::size_t huge = 1u << 20;
    for (const auto& sizes : size_declarations) {
        for (const bool no_total : {false, true}) {
            SCOPED_TRACE(std::to_string(sizes[1]) + (no_total ? " SQL_NO_TOTAL" : " length told"));
            // Each length in every column position, among rows of short
            // values, over several fetches.
            fake_odbc::ResultSet result(3);
            result.sizes(sizes);
            for (const std::size_t length : lengths) {
                for (std::size_t position = 0; position < 3; ++position) {
                    std::vector<fake_odbc::Value> values{text_of(3, no_total), text_of(5, no_total),
                                                         text_of(7, no_total)};
                    values[position] = text_of(length, no_total);
                    result.row(values);
                }
            }
            for (int i = 0; i < 1000; ++i) {
                result.row({text_of(9, no_total), fake_odbc::null(), text_of(200, no_total)});
            }
            result.row({fake_odbc::null(), text_of(huge, no_total), text_of(1, no_total)});
            const std::vector<TextRow> rows = bound_read(result);
            ASSERT_EQ(rows.size(), std::size(lengths) * 3 + 1001);
            EXPECT_EQ(rows.back()[1]->size(), huge);
            for (std::size_t i = 0; i < std::size(lengths); ++i) {
                for (std::size_t position = 0; position < 3; ++position) {
                    ASSERT_EQ(rows[i * 3 + position][position]->size(), lengths[i]);
                }
            }
            EXPECT_EQ(rows, get_data_read(result));
        }
    }
}

TEST_P(TextRowsTest, NullInEveryColumnPositionAndEmptyTextAreTold) {
    constexpr std::size_t columns = 6;
    // Some columns read with SQLGetData alone, and all bound (row arrays
    // where the driver offers them).
    const std::vector<std::vector<SQLULEN>> declarations = {
        {declared, 0, declared, declared, 0, declared}, std::vector<SQLULEN>(columns, declared)};
    for (const auto& sizes : declarations) {
        SCOPED_TRACE(sizes[1]);
        fake_odbc::ResultSet result(columns);
        result.sizes(sizes);
        for (std::size_t null_at = 0; null_at < columns; ++null_at) {
            std::vector<fake_odbc::Value> values;
            for (std::size_t i = 0; i < columns; ++i) {
                values.push_back(i == null_at ? fake_odbc::null() : fake_odbc::text(""));
            }
            result.row(values);
        }
        result.row(std::vector<fake_odbc::Value>(columns, fake_odbc::null()));
        const std::vector<TextRow> rows = bound_read(result);
        ASSERT_EQ(rows.size(), columns + 1);
        for (std::size_t null_at = 0; null_at < columns; ++null_at) {
            for (std::size_t i = 0; i < columns; ++i) {
                EXPECT_EQ(rows[null_at][i],
                          i == null_at ? std::nullopt : std::optional<std::string>(""));
            }
        }
        EXPECT_EQ(rows.back(), TextRow(columns, std::nullopt));
        EXPECT_EQ(rows, get_data_read(result));
    }
}

TEST_P(TextRowsTest, ThreeHundredColumns) {
    constexpr std::size_t columns = 300;
    fake_odbc::ResultSet result(columns);
    std::vector<SQLULEN> sizes(columns, declared);
    result.sizes(sizes);
    for (int r = 0; r < 50; ++r) {
        std::vector<fake_odbc::Value> values;
        for (std::size_t i = 0; i < columns; ++i) {
            values.push_back((i + static_cast<std::size_t>(r)) % 7 == 0
                                 ? fake_odbc::null()
                                 : text_of((i * 31 + static_cast<std::size_t>(r)) % 600, false));
        }
        result.row(values);
    }
    const std::vector<TextRow> rows = bound_read(result);
    ASSERT_EQ(rows.size(), 50u);
    ASSERT_EQ(rows[0].size(), columns);
    EXPECT_EQ(rows, get_data_read(result));
}

TEST_P(TextRowsTest, AFailedFetchAfterSomeRowsIsAnErrorAndTheBindingsAreUndone) {
    fake_odbc::ResultSet result(1);
    result.sizes({5})
        .row({fake_odbc::text("a")})
        .row({fake_odbc::text("b")})
        .error({{"link lost", "08S01"}});
    fake_odbc::set_result_set_for(sql, result);
    Query query(sql, connection_->conn);
    EXPECT_EQ(error_message([&] { read_text_rows(query, 1); }),
              "Fetch failed: link lost (" + sql + ")");
    EXPECT_EQ(fake_odbc::count(Fn::free_stmt), 1);
    // No fetch can write into the read's freed buffers any more.
    EXPECT_FALSE(query.fetch());
}

INSTANTIATE_TEST_SUITE_P(Drivers, TextRowsTest,
                         ::testing::Values(Driver::one_row_per_fetch, Driver::row_arrays),
                         [](const ::testing::TestParamInfo<Driver>& test) {
                             return test.param == Driver::row_arrays ? "RowArrays"
                                                                     : "OneRowPerFetch";
                         });

// Columns of 1,000 and 10 characters (4,016 and 56 bytes) take 64 rows per
// rowset; values cut in the first, a middle and the last row of a rowset, in
// two rows after each other and in the very last row must come back whole,
// and no row may come twice or be lost.
TEST(TextRowArrays, FetchRowsetsAndCompleteCutValuesInTheirOwnRow) {
    fake_odbc::reset();
    fake_odbc::set_driver_info(block_cursor_driver());
    Connection connection;
    constexpr std::size_t rows = 200;
    fake_odbc::ResultSet result(2);
    result.sizes({1000, 10});
    const std::vector<std::size_t> cut = {0, 31, 62, 63, 64, 127, 199};
    std::vector<TextRow> expected;
    for (std::size_t r = 0; r < rows; ++r) {
        // The cut values, one of them 10 MiB; NULLs in both columns on the
        // way.
        const bool is_cut = std::find(cut.begin(), cut.end(), r) != cut.end();
        const std::size_t length = r == 31 ? std::size_t{10} << 20 : is_cut ? 5000 + r : r % 37;
        fake_odbc::Value first =
            r % 11 == 5 && !is_cut ? fake_odbc::null() : text_of(length, r % 2 == 0);
        fake_odbc::Value second = r % 13 == 7 ? fake_odbc::null() : text_of(r % 50, false);
        expected.push_back({first.kind == fake_odbc::Value::Kind::null
                                ? std::nullopt
                                : std::optional<std::string>(first.bytes),
                            second.kind == fake_odbc::Value::Kind::null
                                ? std::nullopt
                                : std::optional<std::string>(second.bytes)});
        result.row({first, second});
    }
    fake_odbc::set_result_set_for(sql, result);
    {
        Query query(sql, connection.conn);
        EXPECT_EQ(read_text_rows(query, 2), expected);
        const SQLHANDLE statement = fake_odbc::last_handle(SQL_HANDLE_STMT);
        // Undone after the read: one row per fetch, no pointers kept.
        EXPECT_EQ(fake_odbc::statement_attribute(statement, SQL_ATTR_ROW_ARRAY_SIZE), 1);
        EXPECT_EQ(fake_odbc::statement_attribute(statement, SQL_ATTR_ROW_STATUS_PTR), 0);
        EXPECT_EQ(fake_odbc::statement_attribute(statement, SQL_ATTR_ROWS_FETCHED_PTR), 0);
    }
    const std::vector<fake_odbc::Call> sizes = fake_odbc::calls_of(Fn::set_stmt_attr);
    const auto array_size = std::find_if(sizes.begin(), sizes.end(), [](const auto& call) {
        return call.number(1) == SQL_ATTR_ROW_ARRAY_SIZE;
    });
    ASSERT_NE(array_size, sizes.end());
    const auto rowset = static_cast<std::size_t>(array_size->number(2));
    EXPECT_EQ(rowset, (std::size_t{256} << 10) / (2 * sizeof(SQLLEN) + 4016 + 56));
    // Every rowset, and the end.
    EXPECT_EQ(static_cast<std::size_t>(fake_odbc::count(Fn::fetch)),
              (rows + rowset - 1) / rowset + 1);
    // One SQLSetPos per row holding a cut value, to that row.
    std::vector<long long> positions;
    for (const fake_odbc::Call& call : fake_odbc::calls_of(Fn::set_pos)) {
        EXPECT_EQ(call.number(2), SQL_POSITION);
        positions.push_back(call.number(1));
    }
    std::vector<long long> cut_rows;
    for (const std::size_t r : cut) {
        cut_rows.push_back(static_cast<long long>(r % rowset + 1));
    }
    EXPECT_EQ(positions, cut_rows);
}

// Row arrays only where a cut value can be read again in its own row: not
// when a column is read with SQLGetData alone, not without SQL_GD_BLOCK or
// SQLSetPos, not with MariaDB Connector/ODBC, whose SQLGetData after
// SQLSetPos reads the rowset's first row.
TEST(TextRowArrays, OneRowPerFetchWhereRowsetsCannotBeCompleted) {
    struct Case {
        const char* what;
        fake_odbc::DriverInfo driver;
        std::vector<SQLULEN> sizes;
    };
    fake_odbc::DriverInfo no_set_pos = block_cursor_driver();
    no_set_pos.set_pos = false;
    fake_odbc::DriverInfo mariadb = block_cursor_driver();
    mariadb.name = "libmaodbc.so";
    const Case cases[] = {
        {"a column of unknown size", block_cursor_driver(), {declared, 0}},
        {"a column too wide to bind", block_cursor_driver(), {declared, 2000}},
        {"no SQL_GD_BLOCK", fake_odbc::DriverInfo{}, {declared, declared}},
        {"no SQLSetPos", no_set_pos, {declared, declared}},
        {"MariaDB Connector/ODBC", mariadb, {declared, declared}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake_odbc::reset();
        fake_odbc::set_driver_info(c.driver);
        Connection connection;
        fake_odbc::ResultSet result(2);
        result.sizes(c.sizes);
        for (int r = 0; r < 5; ++r) {
            result.row({text_of(300, false), fake_odbc::null()});
        }
        fake_odbc::set_result_set_for(sql, result);
        Query query(sql, connection.conn);
        EXPECT_EQ(read_text_rows(query, 2),
                  std::vector<TextRow>(5, TextRow{text_of(300, false).bytes, std::nullopt}));
        EXPECT_EQ(fake_odbc::count(Fn::fetch), 6);
        EXPECT_EQ(fake_odbc::count(Fn::set_pos), 0);
        EXPECT_EQ(fake_odbc::statement_attribute(fake_odbc::last_handle(SQL_HANDLE_STMT),
                                                 SQL_ATTR_ROW_ARRAY_SIZE),
                  std::nullopt);
    }
}

// A row whose value the driver cannot convert, in the middle of a rowset, is
// reported through its row status only (SQL_ROW_ERROR, the fetch
// SQL_SUCCESS_WITH_INFO): the read fails as a failed fetch does, and the
// bindings and the row array are undone.
TEST(TextRowArrays, ARowThatFailsInsideARowsetFailsTheRead) {
    fake_odbc::reset();
    fake_odbc::set_driver_info(block_cursor_driver());
    Connection connection;
    fake_odbc::ResultSet result(2);
    result.sizes({declared, declared})
        .row({fake_odbc::text("a"), fake_odbc::text("b")})
        .row({fake_odbc::text("c"), fake_odbc::unconvertible({"cannot convert", "22018"})})
        .row({fake_odbc::text("e"), fake_odbc::text("f")});
    fake_odbc::set_result_set_for(sql, result);
    Query query(sql, connection.conn);
    EXPECT_EQ(error_message([&] { read_text_rows(query, 2); }),
              "Fetch failed: cannot convert (" + sql + ")");
    EXPECT_EQ(fake_odbc::count(Fn::fetch), 1);
    EXPECT_EQ(fake_odbc::statement_attribute(fake_odbc::last_handle(SQL_HANDLE_STMT),
                                             SQL_ATTR_ROW_ARRAY_SIZE),
              1);
    EXPECT_EQ(fake_odbc::count(Fn::free_stmt), 1);
}

// A driver that takes another row array size than asked (SQLSTATE 01S02) is
// read one row per fetch rather than trusted with buffers of another size.
TEST(TextRowArrays, ADriverThatChangesTheRowArraySizeIsReadOneRowPerFetch) {
    fake_odbc::reset();
    fake_odbc::set_driver_info(block_cursor_driver());
    Connection connection;
    fake_odbc::ResultSet result(1);
    result.sizes({declared}).row({fake_odbc::text("a")}).row({fake_odbc::text("b")});
    fake_odbc::set_result_set_for(sql, result);
    // The statement's query time-out is its first attribute, then the two
    // pointers, then the size.
    fake_odbc::set_result_at(Fn::set_stmt_attr, 4, SQL_SUCCESS_WITH_INFO,
                             {{"Option value changed", "01S02"}});
    Query query(sql, connection.conn);
    EXPECT_EQ(read_text_rows(query, 1), (std::vector<TextRow>{{"a"}, {"b"}}));
    EXPECT_EQ(fake_odbc::count(Fn::fetch), 3);
    EXPECT_EQ(fake_odbc::statement_attribute(fake_odbc::last_handle(SQL_HANDLE_STMT),
                                             SQL_ATTR_ROW_ARRAY_SIZE),
              1);
}

}  // namespace
}  // namespace zel::sql::test
