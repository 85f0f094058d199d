// Column reads against the fake: the chunked reads of get_data_as_string and
// get_data_as_binary, piece by piece, and the single-value reads of Query.

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "fake_odbc.h"
#include "fake_odbc_test.h"
#include "test_support.h"
#include "zel/Error.h"
#include "zel/sql/Query.h"
#include "zel/sql/handles.h"

namespace zel::sql::test {
namespace {

using fake_odbc::Fn;
using zel::sql::StatementHandle;
using zel::sql::test::error_message;

// A statement positioned on the first row of a one-row result whose column 1
// holds `value` (column 2 holds an integer).
class ColumnData : public zel::sql::test::FakeOdbcTest {
protected:
    void TearDown() override {
        stmt_.free();
        connection_.reset();
        FakeOdbcTest::TearDown();
    }

    void open_row(fake_odbc::Value value) {
        connection_.emplace();
        fake_odbc::queue_result_set(
            fake_odbc::ResultSet(2).row({std::move(value), fake_odbc::integer(5)}));
        stmt_.alloc(connection_->conn);
        stmt_.send_query("SELECT v, n FROM t");
        ASSERT_TRUE(stmt_.fetch());
        fake_odbc::clear_calls();
    }

    std::optional<zel::sql::test::Connection> connection_;
    StatementHandle stmt_;
};

std::string letters(std::size_t size) {
    std::string s(size, ' ');
    for (std::size_t i = 0; i < size; ++i) {
        s[i] = static_cast<char>('a' + i % 26);
    }
    return s;
}

// --- what both readers share ----------------------------------------------------------

// get_data_as_string and get_data_as_binary, seen alike: the value as bytes,
// how a column value of given bytes is queued, the bytes of value that one
// call hands over, and the message of a failed read of column 9 (the string
// reader carries no diagnostics).
struct Reader {
    const char* name;
    std::string (*read)(StatementHandle&, int column, bool* was_null);
    fake_odbc::Value (*value)(const std::string& bytes);
    SQLLEN piece;
    const char* column_9_error;
};

std::string read_string(StatementHandle& stmt, int column, bool* was_null) {
    return stmt.get_data_as_string(column, was_null);
}

std::string read_binary(StatementHandle& stmt, int column, bool* was_null) {
    const std::vector<unsigned char> blob = stmt.get_data_as_binary(column, was_null);
    return std::string(blob.begin(), blob.end());
}

fake_odbc::Value text_value(const std::string& bytes) {
    return fake_odbc::text(bytes);
}

fake_odbc::Value binary_value(const std::string& bytes) {
    return fake_odbc::binary(std::vector<unsigned char>(bytes.begin(), bytes.end()));
}

const Reader readers[] = {
    {"String", read_string, text_value, 1023, "Error while retrieving data from column 9"},
    {"Binary", read_binary, binary_value, 4096,
     "Error while retrieving data from column 9: [fake_odbc]Invalid descriptor index"},
};

void PrintTo(const Reader& reader, std::ostream* os) {
    *os << reader.name;
}

class BothReaders : public ColumnData, public ::testing::WithParamInterface<Reader> {};

TEST_P(BothReaders, EmptyValueTakesTwoCallsAndIsNotNull) {
    open_row(GetParam().value(""));
    bool was_null = true;
    EXPECT_EQ(GetParam().read(stmt_, 1, &was_null), "");
    EXPECT_FALSE(was_null);
    EXPECT_EQ(fake_odbc::count(Fn::get_data), 2);
}

TEST_P(BothReaders, NullIsSeenOnTheFirstCall) {
    open_row(fake_odbc::null());
    bool was_null = false;
    EXPECT_EQ(GetParam().read(stmt_, 1, &was_null), "");
    EXPECT_TRUE(was_null);
    EXPECT_EQ(fake_odbc::count(Fn::get_data), 1);
    // Read again: the value was handed out, SQL_NO_DATA at once.
    EXPECT_EQ(GetParam().read(stmt_, 1, &was_null), "");
    EXPECT_FALSE(was_null);
}

TEST_P(BothReaders, NullWithoutWasNull) {
    open_row(fake_odbc::null());
    EXPECT_EQ(GetParam().read(stmt_, 1, nullptr), "");
    EXPECT_EQ(fake_odbc::count(Fn::get_data), 1);
}

TEST_P(BothReaders, ValueWithoutTotalIsReadWholeInFullPieces) {
    constexpr SQLLEN size = 10000;
    const SQLLEN piece = GetParam().piece;
    const std::string value = letters(size);
    open_row(fake_odbc::without_total(GetParam().value(value)));
    EXPECT_EQ(GetParam().read(stmt_, 1, nullptr), value);

    // Full pieces without a total, then the last piece with its size, then
    // SQL_NO_DATA.
    const auto pieces = fake_odbc::calls_of(Fn::get_data);
    const auto full_pieces = static_cast<std::size_t>(size / piece);
    ASSERT_EQ(pieces.size(), full_pieces + 2);
    for (std::size_t i = 0; i < full_pieces; ++i) {
        EXPECT_EQ(pieces[i].indicator, SQL_NO_TOTAL) << i;
    }
    EXPECT_EQ(pieces[full_pieces].indicator, size % piece);
    EXPECT_EQ(pieces.back().result, SQL_NO_DATA);
}

TEST_P(BothReaders, FailedReadOfColumn9KeepsTheStatement) {
    open_row(GetParam().value("x"));
    EXPECT_EQ(error_message([&] { GetParam().read(stmt_, 9, nullptr); }),
              GetParam().column_9_error);
    EXPECT_TRUE(stmt_.is_allocated());
}

INSTANTIATE_TEST_SUITE_P(ColumnData, BothReaders, ::testing::ValuesIn(readers),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// --- strings --------------------------------------------------------------------------

TEST_F(ColumnData, StringOf2500CharactersArrivesIn1023_1023_454) {
    const std::string value = letters(2500);
    open_row(fake_odbc::text(value));
    bool was_null = true;
    EXPECT_EQ(stmt_.get_data_as_string(1, &was_null), value);
    EXPECT_FALSE(was_null);

    const auto pieces = fake_odbc::calls_of(Fn::get_data);
    ASSERT_EQ(pieces.size(), 4u);
    const std::vector<SQLRETURN> results = {SQL_SUCCESS_WITH_INFO, SQL_SUCCESS_WITH_INFO,
                                            SQL_SUCCESS, SQL_NO_DATA};
    const std::vector<std::size_t> written = {1024, 1024, 455, 0};
    const std::vector<SQLLEN> indicators = {2500, 1477, 454};
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(pieces[i].handle(), stmt_());
        EXPECT_EQ(pieces[i].number(1), 1);
        EXPECT_EQ(pieces[i].number(2), SQL_C_CHAR);
        EXPECT_EQ(pieces[i].pointer(3), pieces[0].pointer(3));  // one local buffer
        EXPECT_EQ(pieces[i].number(4), 1024);
        EXPECT_NE(pieces[i].pointer(5), nullptr);
        EXPECT_EQ(pieces[i].result, results[i]);
        EXPECT_EQ(pieces[i].written.size(), written[i]);
        if (i < indicators.size()) {
            EXPECT_EQ(pieces[i].indicator, indicators[i]);
        }
    }
}

TEST_F(ColumnData, NulInsideACharValueEndsEachPiece) {
    open_row(fake_odbc::text(std::string("ab\0cd", 5)));
    EXPECT_EQ(stmt_.get_data_as_string(1, nullptr), "ab");
}

TEST_F(ColumnData, NulInsideTheFirstOfTwoPiecesDropsTheRestOfThatPieceOnly) {
    std::string value = letters(1500);
    value[10] = '\0';
    open_row(fake_odbc::text(value));
    EXPECT_EQ(stmt_.get_data_as_string(1, nullptr), value.substr(0, 10) + value.substr(1023));
}

TEST_F(ColumnData, StringReadErrorCollectsNoDiagnostics) {
    open_row(fake_odbc::text("x"));
    EXPECT_THROW(stmt_.get_data_as_string(9, nullptr), zel::Error);
    EXPECT_EQ(fake_odbc::count(Fn::get_diag_rec), 0);
}

TEST_F(ColumnData, NumbersAreReadAsTheirText) {
    open_row(fake_odbc::real(2.5));
    EXPECT_EQ(stmt_.get_data_as_string(1, nullptr), "2.5");
    EXPECT_EQ(stmt_.get_data_as_string(2, nullptr), "5");
}

// --- binary --------------------------------------------------------------------------

TEST_F(ColumnData, BinaryOf4096BytesTakesTwoCalls) {
    open_row(fake_odbc::binary_pattern(4096));
    bool was_null = true;
    EXPECT_EQ(stmt_.get_data_as_binary(1, &was_null), fake_odbc::pattern_bytes(4096));
    EXPECT_FALSE(was_null);
    const auto pieces = fake_odbc::calls_of(Fn::get_data);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].number(2), SQL_C_BINARY);
    EXPECT_EQ(pieces[0].number(4), 4096);
    EXPECT_EQ(pieces[0].indicator, 4096);
    EXPECT_EQ(pieces[0].result, SQL_SUCCESS);
    EXPECT_EQ(pieces[1].result, SQL_NO_DATA);
}

TEST_F(ColumnData, BinaryOf5000BytesTakesThreeCalls) {
    open_row(fake_odbc::binary_pattern(5000));
    EXPECT_EQ(stmt_.get_data_as_binary(1, nullptr), fake_odbc::pattern_bytes(5000));
    const auto pieces = fake_odbc::calls_of(Fn::get_data);
    ASSERT_EQ(pieces.size(), 3u);
    for (const auto& piece : pieces) {
        EXPECT_EQ(piece.number(1), 1);
        EXPECT_EQ(piece.number(2), SQL_C_BINARY);
        EXPECT_EQ(piece.number(4), 4096);
    }
    EXPECT_EQ(pieces[0].indicator, 5000);
    EXPECT_EQ(pieces[0].written.size(), 4096u);
    EXPECT_EQ(pieces[0].result, SQL_SUCCESS_WITH_INFO);
    EXPECT_EQ(pieces[1].indicator, 904);
    EXPECT_EQ(pieces[1].written.size(), 904u);
    EXPECT_EQ(pieces[1].result, SQL_SUCCESS);
    EXPECT_EQ(pieces[2].result, SQL_NO_DATA);
}

TEST_F(ColumnData, BinaryPiecesAreWrittenStraightIntoTheResult) {
    open_row(fake_odbc::binary_pattern(5000));
    const std::vector<unsigned char> blob = stmt_.get_data_as_binary(1, nullptr);
    const auto pieces = fake_odbc::calls_of(Fn::get_data);
    ASSERT_EQ(pieces.size(), 3u);
    // Each piece goes to the element good_data_len of the vector as it then
    // was: the second one 4096 bytes behind the start of its buffer. The
    // vector may have moved in between, so only the pieces' content is
    // checked here, against what the fake wrote.
    EXPECT_EQ(std::string(blob.begin(), blob.begin() + 4096), pieces[0].written);
    EXPECT_EQ(std::string(blob.begin() + 4096, blob.end()), pieces[1].written);
}

TEST_F(ColumnData, BinaryErrorInTheSecondPieceDiscardsThePartialValue) {
    open_row(fake_odbc::binary_pattern(5000));
    fake_odbc::set_result_at(Fn::get_data, 2, SQL_ERROR, {"[drv]connection lost"});
    EXPECT_EQ(error_message([&] { stmt_.get_data_as_binary(1, nullptr); }),
              "Error while retrieving data from column 1: [drv]connection lost");
}

TEST_F(ColumnData, ReadWithoutACurrentRowIsRejectedByTheDriver) {
    open_row(fake_odbc::text("x"));
    ASSERT_FALSE(stmt_.fetch());  // past the only row
    EXPECT_EQ(error_message([&] { stmt_.get_data_as_string(1, nullptr); }),
              "Error while retrieving data from column 1");
    EXPECT_EQ(error_message([&] { stmt_.get_data_as_binary(1, nullptr); }),
              "Error while retrieving data from column 1: [fake_odbc]Invalid cursor state");
}

// --- single values through Query ---------------------------------------------------------

class QueryValues : public zel::sql::test::FakeOdbcTest {};

TEST_F(QueryValues, DoubleInt32AndNull) {
    zel::sql::test::Connection c;
    fake_odbc::queue_result_set(fake_odbc::ResultSet(4).row(
        {fake_odbc::real(2.5), fake_odbc::integer(-42), fake_odbc::null(), fake_odbc::null()}));
    zel::sql::Query q("SELECT a, b, c, d FROM t", c.conn);
    ASSERT_TRUE(q.fetch());
    fake_odbc::clear_calls();

    bool was_null = true;
    EXPECT_EQ(q.get_column_as_double(1, &was_null), 2.5);
    EXPECT_FALSE(was_null);
    EXPECT_EQ(q.get_column_as_int32_t(2, &was_null), -42);
    EXPECT_FALSE(was_null);
    EXPECT_EQ(q.get_column_as_double(3, &was_null), 0.0);
    EXPECT_TRUE(was_null);
    EXPECT_EQ(q.get_column_as_int32_t(4, nullptr), 0);

    const auto reads = fake_odbc::calls_of(Fn::get_data);
    ASSERT_EQ(reads.size(), 4u);
    EXPECT_EQ(reads[0].number(1), 1);
    EXPECT_EQ(reads[0].number(2), SQL_C_DOUBLE);
    EXPECT_EQ(reads[0].number(4), 8);
    EXPECT_EQ(reads[1].number(1), 2);
    EXPECT_EQ(reads[1].number(2), SQL_C_SLONG);
    EXPECT_EQ(reads[1].number(4), 4);
    EXPECT_EQ(reads[2].indicator, SQL_NULL_DATA);
    EXPECT_EQ(reads[3].number(2), SQL_C_SLONG);
}

TEST_F(QueryValues, GetColumnTellsNullAndReportsFailures) {
    zel::sql::test::Connection c;
    fake_odbc::queue_result_set(
        fake_odbc::ResultSet(2).row({fake_odbc::text("abcdef"), fake_odbc::null()}));
    zel::sql::Query q("SELECT a, b FROM t", c.conn);
    ASSERT_TRUE(q.fetch());
    char buf[4] = {};
    EXPECT_TRUE(q.get_column(1, buf, sizeof(buf), SQL_C_CHAR));  // cut, still read
    EXPECT_EQ(std::string(buf), "abc");
    EXPECT_FALSE(q.get_column(2, buf, sizeof(buf), SQL_C_CHAR));
    EXPECT_EQ(error_message([&] { q.get_column(3, buf, sizeof(buf), SQL_C_CHAR); }),
              "Unable to get data from column 3: [fake_odbc]Invalid descriptor index");
    EXPECT_EQ(error_message([&] { q.get_column_as_double(3, nullptr); }),
              "Unable to get data from column 3: [fake_odbc]Invalid descriptor index");
}

TEST_F(QueryValues, StringAndBinaryForwardToTheStatement) {
    zel::sql::test::Connection c;
    fake_odbc::queue_result_set(fake_odbc::ResultSet(2).row(
        {fake_odbc::text(letters(1500)), fake_odbc::binary_pattern(4100)}));
    zel::sql::Query q("SELECT a, b FROM t", c.conn);
    ASSERT_TRUE(q.fetch());
    bool was_null = true;
    EXPECT_EQ(q.get_column_as_string(1, &was_null), letters(1500));
    EXPECT_FALSE(was_null);
    was_null = true;
    EXPECT_EQ(q.get_column_as_binary(2, &was_null), fake_odbc::pattern_bytes(4100));
    EXPECT_FALSE(was_null);
}

}  // namespace
}  // namespace zel::sql::test
