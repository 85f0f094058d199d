// The column reader (src/odbc/column_reader.h) against the fake, through
// every entry point that reads rows (tests/support/read_entry_points.h): the
// same cases for the text rows, the typed rows, the NumPy columns and the
// chunked reads, one row per fetch and in row arrays.

#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "fake_odbc.h"
#include "fake_odbc_test.h"
#include "odbc/column_reader.h"
#include "read_entry_points.h"
#include "test_support.h"
#include "zel/sql/DatabaseError.h"
#include "zel/sql/Query.h"

namespace zel::sql::test {
namespace {

using fake_odbc::Fn;

const std::string sql = "SELECT * FROM T";
// 60 characters get a bound buffer of 256 bytes, the NUL included.
constexpr SQLULEN declared = 60;
constexpr std::size_t bound_width = 256;
constexpr std::size_t first_piece = 1024;

enum class Driver { one_row_per_fetch, row_arrays };

fake_odbc::DriverInfo driver_info(Driver driver) {
    fake_odbc::DriverInfo info;
    if (driver == Driver::row_arrays) {
        info.getdata_extensions |= SQL_GD_BLOCK;
    }
    return info;
}

std::string letters(std::size_t length) {
    // Not one letter repeated: a piece read twice or skipped would show.
    std::string bytes(length, ' ');
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>('a' + i % 23);
    }
    return bytes;
}

fake_odbc::Value value_of(const std::optional<std::string>& value, bool no_total) {
    if (!value) {
        return fake_odbc::null();
    }
    fake_odbc::Value text = fake_odbc::text(*value);
    return no_total ? fake_odbc::without_total(text) : text;
}

// A table of expected rows, queued as the fake's result with declared sizes.
struct Table {
    std::vector<SQLULEN> sizes;
    std::vector<ReadRow> rows;
    bool no_total = false;

    fake_odbc::ResultSet result() const {
        fake_odbc::ResultSet set(static_cast<int>(sizes.size()));
        set.sizes(sizes);
        for (const ReadRow& row : rows) {
            std::vector<fake_odbc::Value> values;
            for (const auto& value : row) {
                values.push_back(value_of(value, no_total));
            }
            set.row(values);
        }
        return set;
    }
};

using Param = std::tuple<ReadEntryPoint, Driver>;

std::string test_name(const ::testing::TestParamInfo<Param>& test) {
    return std::string(std::get<0>(test.param).name) +
           (std::get<1>(test.param) == Driver::row_arrays ? "RowArrays" : "OneRowPerFetch");
}

class ColumnReaderTest : public FakeOdbcTest, public ::testing::WithParamInterface<Param> {
protected:
    void SetUp() override {
        FakeOdbcTest::SetUp();
        fake_odbc::set_driver_info(driver_info(driver()));
        connection_.emplace();
    }

    void TearDown() override {
        connection_.reset();
        FakeOdbcTest::TearDown();
    }

    const ReadEntryPoint& entry() const { return std::get<0>(GetParam()); }
    Driver driver() const { return std::get<1>(GetParam()); }

    std::vector<ReadRow> read(const fake_odbc::ResultSet& result) {
        fake_odbc::set_result_set_for(sql, result);
        Query query(sql, connection_->conn);
        return entry().read(query);
    }

    // What this entry point gives of `rows`.
    std::vector<ReadRow> expected(std::vector<ReadRow> rows) const {
        return as_read_by(entry(), std::move(rows));
    }

    std::optional<Connection> connection_;
};

TEST_P(ColumnReaderTest, LengthsAroundTheBuffersArriveWhole) {
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
    // Every column bound, none bound (SQLGetData alone), and a mix.
    const std::vector<std::vector<SQLULEN>> declarations = {
        {declared, declared, declared}, {0, 0, 0}, {declared, 0, declared}};
    for (const auto& sizes : declarations) {
        for (const bool no_total : {false, true}) {
            SCOPED_TRACE(std::to_string(sizes[1]) + (no_total ? " SQL_NO_TOTAL" : " length told"));
            Table table{sizes, {}, no_total};
            // Each length in every column position, among short values,
            // over several rowsets.
            for (const std::size_t length : lengths) {
                for (std::size_t position = 0; position < 3; ++position) {
                    ReadRow row{letters(3), letters(5), letters(7)};
                    row[position] = letters(length);
                    table.rows.push_back(row);
                }
            }
            for (int i = 0; i < 300; ++i) {
                table.rows.push_back({letters(9), std::nullopt, letters(200)});
            }
            EXPECT_EQ(read(table.result()), table.rows);
        }
    }
}

TEST_P(ColumnReaderTest, NullInEveryColumnPositionAndEmptyTextAreTold) {
    constexpr std::size_t columns = 4;
    for (const auto& sizes : {std::vector<SQLULEN>{declared, 0, declared, 0},
                              std::vector<SQLULEN>(columns, declared)}) {
        SCOPED_TRACE(sizes[1]);
        Table table{sizes, {}};
        for (std::size_t null_at = 0; null_at < columns; ++null_at) {
            ReadRow row(columns, std::string());
            row[null_at] = std::nullopt;
            table.rows.push_back(row);
        }
        table.rows.emplace_back(columns, std::nullopt);
        EXPECT_EQ(read(table.result()), table.rows);
    }
}

// A NUL inside a value is part of it, bound or read with SQLGetData, short or
// completed; only the chunked text read keeps each piece up to its first NUL.
TEST_P(ColumnReaderTest, ANulInsideAValueIsKept) {
    const std::string short_value("a\0b", 3);
    const std::string long_value = std::string("x\0", 2) + letters(3000);
    for (const auto& sizes :
         {std::vector<SQLULEN>{declared, declared}, std::vector<SQLULEN>{0, 0}}) {
        SCOPED_TRACE(sizes[0]);
        Table table{sizes, {{short_value, std::string("\0", 1)}, {long_value, short_value}}};
        EXPECT_EQ(read(table.result()), expected(table.rows));
    }
}

// A failed fetch after some rows is the DatabaseError with the driver's
// diagnostics, never a short result; the bindings are undone.
TEST_P(ColumnReaderTest, AFailedFetchAfterSomeRowsIsADatabaseError) {
    fake_odbc::ResultSet result(1);
    result.sizes({5})
        .row({fake_odbc::text("a")})
        .row({fake_odbc::text("b")})
        .error({{"link lost", "08S01"}});
    fake_odbc::set_result_set_for(sql, result);
    Query query(sql, connection_->conn);
    const auto error = database_error([&] { entry().read(query); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->get_message(), "Fetch failed: link lost (" + sql + ")");
    EXPECT_EQ(error->get_sqlstate(), "08S01");
    EXPECT_EQ(fake_odbc::count(Fn::free_stmt), entry().binds ? 1 : 0);
    EXPECT_FALSE(query.fetch());
}

INSTANTIATE_TEST_SUITE_P(EntryPoints, ColumnReaderTest,
                         ::testing::Combine(::testing::ValuesIn(read_entry_points()),
                                            ::testing::Values(Driver::one_row_per_fetch,
                                                              Driver::row_arrays)),
                         test_name);

// --- what only the readers through bound buffers do ------------------------

class BoundReaderTest : public ColumnReaderTest {};

// A row whose value the driver cannot convert fails the read with the
// driver's diagnostics, inside a rowset (its status SQL_ROW_ERROR) as alone.
TEST_P(BoundReaderTest, ARowThatFailsIsADatabaseErrorWithTheDiagnostics) {
    fake_odbc::ResultSet result(2);
    result.sizes({declared, declared})
        .row({fake_odbc::text("a"), fake_odbc::text("b")})
        .row({fake_odbc::text("c"), fake_odbc::unconvertible({"cannot convert", "22018"})})
        .row({fake_odbc::text("e"), fake_odbc::text("f")});
    fake_odbc::set_result_set_for(sql, result);
    Query query(sql, connection_->conn);
    const auto error = database_error([&] { entry().read(query); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->get_message(), "Fetch failed: cannot convert (" + sql + ")");
    EXPECT_EQ(error->get_sqlstate(), "22018");
    EXPECT_EQ(fake_odbc::count(Fn::free_stmt), 1);
}

// A bind that fails is a DatabaseError, and the columns bound before it are
// unbound again: no later fetch writes into the reader's freed buffers.
TEST_P(BoundReaderTest, AFailedBindUndoesTheBindingsBeforeIt) {
    fake_odbc::ResultSet result(2);
    result.sizes({declared, declared}).row({fake_odbc::text("a"), fake_odbc::text("b")});
    fake_odbc::set_result_set_for(sql, result);
    fake_odbc::set_result_at(Fn::bind_col, 2, SQL_ERROR, {{"out of memory", "HY001"}});
    Query query(sql, connection_->conn);
    const auto error = database_error([&] { entry().read(query); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->get_message(), "Unable to bind to column 2: out of memory");
    EXPECT_EQ(fake_odbc::count(Fn::free_stmt), 1);
    const auto rows_per_fetch = fake_odbc::statement_attribute(
        fake_odbc::last_handle(SQL_HANDLE_STMT), SQL_ATTR_ROW_ARRAY_SIZE);
    EXPECT_TRUE(!rows_per_fetch || *rows_per_fetch == 1);
}

// A driver whose SQLGetData does not give the cut value again, whole, is
// caught by the length check, never passed off as a shorter value.
TEST_P(BoundReaderTest, ACompletionOfAnotherLengthThanAnnouncedIsAnError) {
    fake_odbc::ResultSet result(1);
    result.sizes({declared}).row({fake_odbc::text(letters(300))});
    fake_odbc::set_result_set_for(sql, result);
    // The completion's first SQLGetData finds nothing left.
    fake_odbc::set_result_at(Fn::get_data, 1, SQL_NO_DATA);
    Query query(sql, connection_->conn);
    EXPECT_EQ(error_message([&] { entry().read(query); }),
              "Column 1 read 0 bytes with SQLGetData where the fetch announced 300 bytes");
    EXPECT_EQ(fake_odbc::count(Fn::free_stmt), 1);
}

// Row arrays only where the driver table lets a cut value be completed in
// its row: never for the drivers it names, whatever they report.
TEST_P(BoundReaderTest, NamedDriversAreReadOneRowPerFetch) {
    for (const char* name : {"libmaodbc.so", "libsqlite3odbc.so"}) {
        SCOPED_TRACE(name);
        fake_odbc::DriverInfo info = driver_info(Driver::row_arrays);
        info.name = name;
        fake_odbc::set_driver_info(info);
        Table table{{declared, declared}, std::vector<ReadRow>(5, {letters(300), std::nullopt})};
        const int fetches = fake_odbc::count(Fn::fetch);
        EXPECT_EQ(read(table.result()), table.rows);
        EXPECT_EQ(fake_odbc::count(Fn::fetch) - fetches, 6);
        EXPECT_EQ(fake_odbc::count(Fn::set_pos), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(EntryPoints, BoundReaderTest,
                         ::testing::Combine(::testing::ValuesIn(binding_entry_points()),
                                            ::testing::Values(Driver::one_row_per_fetch,
                                                              Driver::row_arrays)),
                         test_name);

TEST(DriverTable, NamesTheDriversThatCannotCompleteInRowsets) {
    EXPECT_NE(odbc::driver_quirk("libmaodbc.so"), nullptr);
    EXPECT_NE(odbc::driver_quirk("libsqlite3odbc.so"), nullptr);
    EXPECT_EQ(odbc::driver_quirk("psqlodbcw.so"), nullptr);
    EXPECT_EQ(odbc::driver_quirk("libfakeodbc.so"), nullptr);
}

TEST(BoundWidths, TheLimitAndTheFormula) {
    EXPECT_EQ(odbc::text_width(0), 0);
    EXPECT_EQ(odbc::text_width(1), 32);
    EXPECT_EQ(odbc::text_width(60), 256);
    EXPECT_EQ(odbc::text_width(1020), 4096);
    EXPECT_EQ(odbc::text_width(1021), 0);
    EXPECT_EQ(odbc::binary_width(0), 0);
    EXPECT_EQ(odbc::binary_width(1), 16);
    EXPECT_EQ(odbc::binary_width(4096), 4096);
    EXPECT_EQ(odbc::binary_width(4097), 0);
    EXPECT_EQ(odbc::number_text_width(0), 64);
    EXPECT_EQ(odbc::number_text_width(100), 116);
    EXPECT_EQ(odbc::number_text_width(5000), 64);
}

}  // namespace
}  // namespace zel::sql::test
