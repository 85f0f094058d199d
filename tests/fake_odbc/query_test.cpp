// Query against the fake: construction and destruction call sequences,
// bound columns, lengths and nulls, moves, and fetch_checked.

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "fake_odbc.h"
#include "fake_odbc_test.h"
#include "test_support.h"
#include "zel/Error.h"
#include "zel/sql/Query.h"

namespace zel::sql::test {
namespace {

using fake_odbc::Fn;
using zel::sql::CDataType;
using zel::sql::Query;
using zel::sql::test::Connection;
using zel::sql::test::error_message;

class QueryTest : public zel::sql::test::FakeOdbcTest {};

fake_odbc::ResultSet three_rows() {
    return fake_odbc::ResultSet(2)
        .row({fake_odbc::text("abc"), fake_odbc::real(1.5)})
        .row({fake_odbc::null(), fake_odbc::null()})
        .row({fake_odbc::text("last"), fake_odbc::real(3.0)});
}

TEST_F(QueryTest, ConstructorAllocatesAndExecutesDestructorCancelsThenFrees) {
    Connection c;
    fake_odbc::clear_calls();
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    {
        const std::string sql = "SELECT 1 FROM DUAL";
        Query q(sql, c.conn);
        EXPECT_EQ(fake_odbc::call_names(),
                  (std::vector<std::string>{"SQLAllocHandle", "SQLSetStmtAttr", "SQLExecDirect"}));
        stmt = fake_odbc::calls()[0].output_handle;
        const fake_odbc::Call& exec = fake_odbc::calls()[2];
        EXPECT_EQ(exec.handle(), stmt);
        EXPECT_EQ(exec.text(), sql);
        EXPECT_EQ(exec.number(2), static_cast<long long>(sql.size()));
        EXPECT_NE(exec.pointer(1), static_cast<const void*>(sql.data()));  // its own copy
        fake_odbc::clear_calls();
    }
    ASSERT_EQ(fake_odbc::call_names(), (std::vector<std::string>{"SQLCancel", "SQLFreeHandle"}));
    EXPECT_EQ(fake_odbc::calls()[0].handle(), stmt);
    EXPECT_EQ(fake_odbc::calls()[1].handle(), stmt);
    EXPECT_EQ(fake_odbc::calls()[1].number(0), SQL_HANDLE_STMT);
    EXPECT_FALSE(fake_odbc::is_live(stmt));
}

TEST_F(QueryTest, RejectedQueryFreesTheStatementWithoutCancel) {
    Connection c;
    fake_odbc::clear_calls();
    fake_odbc::set_result(Fn::exec_direct, SQL_ERROR, {"[drv]syntax error"});
    EXPECT_EQ(error_message([&] { Query q("SELEC 1", c.conn); }),
              "Query failed: [drv]syntax error (SELEC 1)");
    EXPECT_EQ(fake_odbc::count(Fn::cancel), 0);
    const auto frees = fake_odbc::calls_of(Fn::free_handle);
    ASSERT_EQ(frees.size(), 1u);
    EXPECT_EQ(frees[0].handle(), fake_odbc::last_handle(SQL_HANDLE_STMT));
    EXPECT_EQ(fake_odbc::calls().back().fn, Fn::free_handle);
}

TEST_F(QueryTest, RefusedStatementMakesNoFurtherCall) {
    zel::sql::EnvironmentHandle env;
    env.alloc();
    zel::sql::ConnectionHandle conn;
    EXPECT_EQ(error_message([&] { Query q("SELECT 1", conn); }),
              "SQL connection handle is not allocated");
    conn.alloc(env);  // allocated, not connected
    fake_odbc::clear_calls();
    EXPECT_EQ(error_message([&] { Query q("SELECT 1", conn); }),
              "Unable to allocate SQL statement handle");
    EXPECT_EQ(fake_odbc::call_names(), (std::vector<std::string>{"SQLAllocHandle"}));
}

TEST_F(QueryTest, BoundColumnsAreFilledAtEveryFetch) {
    Connection c;
    fake_odbc::queue_result_set(three_rows());
    Query q("SELECT a, b FROM t", c.conn);
    char text[16];
    std::strcpy(text, "untouched");
    double number = -1.0;
    q.bind_column(1, CDataType::c_char, text, sizeof(text));
    q.bind_column(2, CDataType::c_double, &number, sizeof(number));

    const auto binds = fake_odbc::calls_of(Fn::bind_col);
    ASSERT_EQ(binds.size(), 2u);
    EXPECT_EQ(binds[0].number(1), 1);
    EXPECT_EQ(binds[0].number(2), SQL_C_CHAR);
    EXPECT_EQ(binds[0].pointer(3), text);
    EXPECT_EQ(binds[0].number(4), 16);
    EXPECT_NE(binds[0].pointer(5), nullptr);
    EXPECT_EQ(binds[1].number(2), SQL_C_DOUBLE);
    EXPECT_EQ(binds[1].pointer(3), &number);
    EXPECT_EQ(binds[1].number(4), 8);
    EXPECT_NE(binds[1].pointer(5), binds[0].pointer(5));

    // Before the first fetch.
    EXPECT_FALSE(q.is_null(1));
    EXPECT_EQ(q.get_bytes_read(1), 0u);

    ASSERT_TRUE(q.fetch());
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(number, 1.5);
    EXPECT_FALSE(q.is_null(1));
    EXPECT_EQ(q.get_bytes_read(1), 3u);
    EXPECT_EQ(q.get_bytes_read(2), 8u);

    ASSERT_TRUE(q.fetch());  // NULLs: buffers untouched, SQL_NULL_DATA
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(number, 1.5);
    EXPECT_TRUE(q.is_null(1));
    EXPECT_TRUE(q.is_null(2));
    EXPECT_EQ(q.get_bytes_read(1), 0u);
    EXPECT_EQ(q.get_bytes_read(2), 0u);

    ASSERT_TRUE(q.fetch());
    EXPECT_STREQ(text, "last");
    EXPECT_FALSE(q.is_null(1));
    EXPECT_EQ(q.get_bytes_read(1), 4u);

    EXPECT_FALSE(q.fetch());
    EXPECT_FALSE(q.fetch());
    EXPECT_FALSE(q.fetch());
}

TEST_F(QueryTest, LongValueIsCutByTheDriverAndReportsItsFullLength) {
    Connection c;
    fake_odbc::queue_result_set(fake_odbc::ResultSet(2).row(
        {fake_odbc::text("abcdefgh"), fake_odbc::without_total(fake_odbc::text("abcdefgh"))}));
    Query q("SELECT a, b FROM t", c.conn);
    char a[4];
    char b[4];
    q.bind_column(1, CDataType::c_char, a, sizeof(a));
    q.bind_column(2, CDataType::c_char, b, sizeof(b));
    EXPECT_TRUE(q.fetch());  // SQL_SUCCESS_WITH_INFO
    EXPECT_EQ(fake_odbc::calls_of(Fn::fetch).back().result, SQL_SUCCESS_WITH_INFO);
    EXPECT_STREQ(a, "abc");
    EXPECT_EQ(q.get_bytes_read(1), 8u);
    EXPECT_EQ(q.get_bytes_read(2), static_cast<unsigned long>(SQLLEN{SQL_NO_TOTAL}));
}

TEST_F(QueryTest, UnboundColumnsRaiseOutOfRange) {
    Connection c;
    fake_odbc::queue_result_set(three_rows());
    Query q("SELECT a, b FROM t", c.conn);
    char text[16];
    q.bind_column(1, CDataType::c_char, text, sizeof(text));
    EXPECT_THROW(q.is_null(2), std::out_of_range);  // exists in the result, not bound
    EXPECT_THROW(q.is_null(5), std::out_of_range);  // does not exist
    EXPECT_THROW(q.get_bytes_read(5), std::out_of_range);
    try {
        q.get_bytes_read(2);
        FAIL() << "no exception";
    } catch (const zel::Error&) {
        FAIL() << "an Error instead of std::out_of_range";
    } catch (const std::out_of_range&) {
    }
}

TEST_F(QueryTest, FailedBindKeepsTheRecord) {
    Connection c;
    fake_odbc::queue_result_set(three_rows());
    Query q("SELECT a, b FROM t", c.conn);
    char text[16];
    EXPECT_EQ(error_message([&] { q.bind_column(7, CDataType::c_char, text, sizeof(text)); }),
              "Unable to bind to column 7: [fake_odbc]Invalid descriptor index");
    EXPECT_FALSE(q.is_null(7));
    EXPECT_EQ(q.get_bytes_read(7), 0u);
    // The Query stays usable.
    q.bind_column(1, CDataType::c_char, text, sizeof(text));
    EXPECT_TRUE(q.fetch());
    EXPECT_STREQ(text, "abc");
}

TEST_F(QueryTest, RebindingReplacesTheBufferAndKeepsTheIndicator) {
    Connection c;
    fake_odbc::queue_result_set(three_rows());
    Query q("SELECT a, b FROM t", c.conn);
    double first = 0.0;
    double second = 0.0;
    q.bind_column(2, CDataType::c_double, &first, sizeof(first));
    ASSERT_TRUE(q.fetch());
    EXPECT_EQ(first, 1.5);
    q.bind_column(2, CDataType::c_double, &second, sizeof(second));
    ASSERT_TRUE(q.fetch());  // NULL
    EXPECT_TRUE(q.is_null(2));
    ASSERT_TRUE(q.fetch());
    EXPECT_EQ(first, 1.5);
    EXPECT_EQ(second, 3.0);
    EXPECT_EQ(q.get_bytes_read(2), 8u);
    const auto binds = fake_odbc::calls_of(Fn::bind_col);
    ASSERT_EQ(binds.size(), 2u);
    EXPECT_EQ(binds[1].pointer(3), &second);
    EXPECT_EQ(binds[1].pointer(5), binds[0].pointer(5));  // the record, updated in place
}

TEST_F(QueryTest, TypedBindingPassesTheBufferLength) {
    Connection c;
    fake_odbc::queue_result_set(fake_odbc::ResultSet(5));
    Query q("SELECT a, b, c, d, e FROM t", c.conn);
    char text[256];
    double one = 0.0;
    double three[3] = {};
    unsigned short flag = 0;
    unsigned short flags[4] = {};
    q.bind_column(1, text, 256);
    q.bind_column(2, &one, 1);
    q.bind_column(3, three, 3);
    q.bind_column(4, &flag, 1);
    q.bind_column(5, flags, 4);
    const auto binds = fake_odbc::calls_of(Fn::bind_col);
    ASSERT_EQ(binds.size(), 5u);
    const std::vector<std::pair<long long, long long>> expected = {{SQL_C_CHAR, 256},
                                                                   {SQL_C_DOUBLE, 8},
                                                                   {SQL_C_DOUBLE, 24},
                                                                   {SQL_C_USHORT, 2},
                                                                   {SQL_C_USHORT, 8}};
    const std::vector<const void*> buffers = {text, &one, three, &flag, flags};
    for (std::size_t i = 0; i < binds.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(binds[i].number(1), static_cast<long long>(i + 1));
        EXPECT_EQ(binds[i].number(2), expected[i].first);
        EXPECT_EQ(binds[i].number(4), expected[i].second);
        EXPECT_EQ(binds[i].pointer(3), buffers[i]);
    }
    EXPECT_EQ(CDataType::c_ushort, zel::sql::detail::CDataTypeOf<unsigned short>::value);
}

TEST_F(QueryTest, MovedQueryStillFetchesIntoTheBuffersBoundBeforeTheMove) {
    Connection c;
    fake_odbc::queue_result_set(three_rows());
    char text[16];
    double number = 0.0;
    std::optional<Query> source(std::in_place, "SELECT a, b FROM t", c.conn);
    source->bind_column(1, CDataType::c_char, text, sizeof(text));
    source->bind_column(2, CDataType::c_double, &number, sizeof(number));
    ASSERT_TRUE(source->fetch());
    const SQLHSTMT stmt = fake_odbc::last_handle(SQL_HANDLE_STMT);

    Query target(std::move(*source));
    fake_odbc::clear_calls();
    source.reset();  // destroying the moved-from Query calls nothing
    EXPECT_TRUE(fake_odbc::calls().empty());
    EXPECT_EQ(target.get_bytes_read(1), 3u);

    ASSERT_TRUE(target.fetch());
    EXPECT_EQ(fake_odbc::calls().back().handle(), stmt);
    EXPECT_TRUE(target.is_null(1));
    EXPECT_TRUE(target.is_null(2));
    ASSERT_TRUE(target.fetch());
    EXPECT_STREQ(text, "last");
    EXPECT_EQ(number, 3.0);
    EXPECT_EQ(target.get_bytes_read(1), 4u);
    EXPECT_FALSE(target.is_null(2));
}

TEST_F(QueryTest, MoveAssignmentFreesTheTargetsStatementWithoutCancel) {
    Connection c;
    fake_odbc::queue_result_set(three_rows());
    Query a("SELECT a, b FROM t", c.conn);
    const SQLHSTMT stmt_a = fake_odbc::last_handle(SQL_HANDLE_STMT);
    fake_odbc::queue_result_set(three_rows());
    Query b("SELECT a, b FROM t", c.conn);
    const SQLHSTMT stmt_b = fake_odbc::last_handle(SQL_HANDLE_STMT);
    char text[16];
    b.bind_column(1, CDataType::c_char, text, sizeof(text));
    fake_odbc::clear_calls();

    a = std::move(b);
    ASSERT_EQ(fake_odbc::call_names(), (std::vector<std::string>{"SQLFreeHandle"}));
    EXPECT_EQ(fake_odbc::calls()[0].handle(), stmt_a);
    ASSERT_TRUE(a.fetch());
    EXPECT_EQ(fake_odbc::calls().back().handle(), stmt_b);
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(a.get_bytes_read(1), 3u);
    EXPECT_THROW(b.is_null(1), std::out_of_range);  // the records went along
}

TEST_F(QueryTest, MovedFromQueryOwnsNothing) {
    Connection c;
    fake_odbc::queue_result_set(three_rows());
    Query a("SELECT a, b FROM t", c.conn);
    Query b(std::move(a));
    fake_odbc::clear_calls();
    char text[16];
    EXPECT_EQ(error_message([&] { a.fetch(); }), "Cannot fetch from an unallocated SQL handle");
    EXPECT_EQ(error_message([&] { a.fetch_checked(); }),
              "Cannot fetch from an unallocated SQL handle");
    EXPECT_EQ(error_message([&] { a.bind_column(1, CDataType::c_char, text, sizeof(text)); }),
              "Unallocated SQL statement");
    EXPECT_EQ(error_message([&] { a.get_column_as_string(1, nullptr); }),
              "Unallocated SQL statement");
    EXPECT_EQ(error_message([&] { a.get_column_as_double(1, nullptr); }),
              "Unallocated SQL statement");
    EXPECT_TRUE(fake_odbc::calls().empty());
}

TEST_F(QueryTest, SelfMoveAssignmentKeepsTheStatement) {
    Connection c;
    fake_odbc::queue_result_set(three_rows());
    Query q("SELECT a, b FROM t", c.conn);
    char text[16];
    q.bind_column(1, CDataType::c_char, text, sizeof(text));
    fake_odbc::clear_calls();
    Query& alias = q;
    q = std::move(alias);
    EXPECT_TRUE(fake_odbc::calls().empty());
    ASSERT_TRUE(q.fetch());
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(q.get_bytes_read(1), 3u);
}

TEST_F(QueryTest, FetchCheckedThrowsWhereFetchReturnsFalse) {
    Connection c;
    const auto result = fake_odbc::ResultSet(1)
                            .row({fake_odbc::integer(1)})
                            .error({"[drv]snapshot too old"})
                            .row({fake_odbc::integer(3)});
    fake_odbc::queue_result_set(result);
    fake_odbc::queue_result_set(result);
    {
        Query q("SELECT n FROM t", c.conn);
        EXPECT_TRUE(q.fetch());
        EXPECT_FALSE(q.fetch());
        EXPECT_TRUE(q.fetch());
        EXPECT_FALSE(q.fetch());
    }
    Query q("SELECT n FROM t", c.conn);
    EXPECT_TRUE(q.fetch_checked());
    EXPECT_EQ(error_message([&] { q.fetch_checked(); }),
              "Fetch failed: [drv]snapshot too old (SELECT n FROM t)");
    EXPECT_TRUE(q.fetch_checked());
    EXPECT_FALSE(q.fetch_checked());
    EXPECT_FALSE(q.fetch_checked());
}

TEST_F(QueryTest, FetchCheckedOnAStatementWithoutRowsThrows) {
    Connection c;
    Query q("UPDATE t SET a = 1", c.conn);  // no result set: no cursor
    EXPECT_FALSE(q.fetch());
    EXPECT_EQ(error_message([&] { q.fetch_checked(); }),
              "Fetch failed: [fake_odbc]Invalid cursor state (UPDATE t SET a = 1)");
}

}  // namespace
}  // namespace zel::sql::test
