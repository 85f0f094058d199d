// Every reader of rows (tests/support/read_entry_points.h) on each real
// driver, against values built here: the text rows of the query cache, the
// Python typed rows and NumPy columns, get_column_as_string and
// get_column_as_binary. And the column reader's table of driver quirks,
// checked on each driver: a driver the table names must still show its fault,
// and the others must read a value again in its row of a rowset.

#include <gtest/gtest.h>

#include <sql.h>
#include <sqlext.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "backends.h"
#include "connections.h"
#include "odbc/column_reader.h"
#include "odbc/odbc_rules.h"
#include "odbc/query_statement.h"
#include "read_entry_points.h"
#include "test_support.h"
#include "zel/sql/Database.h"

namespace zel::sql::test::integration {
namespace {

using Param = std::tuple<Backend, ReadEntryPoint>;

std::string shown(const std::optional<std::string>& value) {
    if (!value) {
        return "NULL";
    }
    std::string text = value->substr(0, 40);
    for (char& c : text) {
        if (c == '\0') {
            c = '@';
        }
    }
    return std::to_string(value->size()) + " bytes \"" + text + "\"";
}

std::size_t first_differing_byte(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) {
        ++i;
    }
    return i;
}

// Empty when `actual` is `expected`; otherwise where they first differ, for
// an assertion's message (values of megabytes are not printed).
std::string difference(const std::vector<ReadRow>& actual, const std::vector<ReadRow>& expected) {
    if (actual.size() != expected.size()) {
        return std::to_string(actual.size()) + " rows where " + std::to_string(expected.size()) +
               " were expected";
    }
    for (std::size_t r = 0; r < actual.size(); ++r) {
        if (actual[r].size() != expected[r].size()) {
            return "row " + std::to_string(r) + " has " + std::to_string(actual[r].size()) +
                   " columns";
        }
        for (std::size_t c = 0; c < actual[r].size(); ++c) {
            if (actual[r][c] != expected[r][c]) {
                std::string at;
                if (actual[r][c] && expected[r][c]) {
                    const std::size_t i = first_differing_byte(*actual[r][c], *expected[r][c]);
                    at = " (from byte " + std::to_string(i) + ": " +
                         shown(actual[r][c]->substr(i)) + ")";
                }
                return "row " + std::to_string(r) + ", column " + std::to_string(c + 1) + ": " +
                       shown(actual[r][c]) + " where " + shown(expected[r][c]) + " was expected" +
                       at;
            }
        }
    }
    return "";
}

// `count` characters "xy" repeated (sqlite) or "x" repeated, and the SQL that
// makes them.
struct Repeated {
    std::string sql;
    std::string value;
};

Repeated repeated(const Backend& backend, std::size_t pairs) {
    const std::string n = std::to_string(pairs);
    std::string value;
    for (std::size_t i = 0; i < pairs; ++i) {
        value += "xy";
    }
    if (backend.is_sqlite) {
        return {"replace(hex(zeroblob(" + n + ")), '00', 'xy')", value};
    }
    return {"repeat('xy', " + n + ")", value};
}

class RowReadersOnDrivers : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override { db_ = open_database(backend()); }

    const Backend& backend() const { return std::get<0>(GetParam()); }
    const ReadEntryPoint& entry() const { return std::get<1>(GetParam()); }

    std::vector<ReadRow> read(const std::string& sql) {
        Query query = db_->send_query(sql);
        return entry().read(query);
    }

    // What this entry point gives of text values `rows`.
    std::vector<ReadRow> expected(std::vector<ReadRow> rows) const {
        return as_read_by(entry(), std::move(rows));
    }

    TempWorkingDir scratch_;
    std::unique_ptr<Database> db_;
};

// Lengths around the buffers of the readers and the first piece of a
// completion, a NULL in every position; all columns text.
TEST_P(RowReadersOnDrivers, LengthsAroundTheBuffersAndNullsInEveryPosition) {
    const std::size_t pairs[] = {0, 1, 63, 64, 65, 127, 128, 129, 511, 512, 2047, 2048, 20000};
    std::string sql;
    std::vector<ReadRow> rows;
    for (const std::size_t n : pairs) {
        const Repeated text = repeated(backend(), n);
        for (int null_at = 0; null_at < 3; ++null_at) {
            char id[8];
            std::snprintf(id, sizeof(id), "%04zu", rows.size());
            std::string select = std::string("SELECT '") + id + "' AS id";
            ReadRow& row = rows.emplace_back(ReadRow{std::string(id)});
            for (int column = 0; column < 3; ++column) {
                const bool null = column == null_at;
                select += std::string(", ") + (null ? "NULL" : text.sql) + " AS c" +
                          std::to_string(column);
                row.push_back(null ? std::nullopt : std::optional<std::string>(text.value));
            }
            sql += (sql.empty() ? "" : " UNION ALL ") + select;
        }
    }
    EXPECT_EQ(difference(read("SELECT * FROM (" + sql + ") t ORDER BY id"), expected(rows)), "");
}

// Columns of small declared sizes over many rowsets, with values longer than
// their columns declare where the driver lets them be: psqlODBC declares 255
// characters for a varchar without a length, SQLite never checks its
// VARCHAR(8). Row arrays on psqlODBC, values completed in their row.
TEST_P(RowReadersOnDrivers, SmallDeclaredSizesOverManyRowsets) {
    std::string sql;
    if (backend().is_sqlite) {
        db_->send_query(
            "CREATE TEMP TABLE declared_small (id VARCHAR(8), n VARCHAR(8), v "
            "VARCHAR(12), g INTEGER)");
        db_->send_query(
            "INSERT INTO declared_small WITH RECURSIVE s(g) AS (SELECT 1 UNION ALL SELECT g + 1 "
            "FROM s WHERE g < 3000) SELECT printf('%d', g), substr(replace(hex(zeroblob(1000)), "
            "'00', '77'), 1, g % 2000), CASE WHEN g % 7 = 3 THEN NULL ELSE printf('%d', g) END, "
            "g FROM s");
        sql = "SELECT id, n, v FROM declared_small ORDER BY g";
    } else if (backend().is_mariadb) {
        sql =
            "WITH RECURSIVE s(g) AS (SELECT 1 UNION ALL SELECT g + 1 FROM s WHERE g < 1000), "
            "t AS (SELECT s.g + 1000 * k.k AS g FROM s, (SELECT 0 AS k UNION ALL SELECT 1 "
            "UNION ALL SELECT 2) AS k) SELECT CAST(g AS CHAR(8)) AS id, REPEAT('7', g % 2000) "
            "AS n, CASE WHEN g % 7 = 3 THEN NULL ELSE CAST(g AS CHAR(12)) END AS v FROM t "
            "ORDER BY g";
    } else {
        sql =
            "SELECT CAST(g AS varchar(8)) AS id, repeat('7', g % 2000)::varchar AS n, CASE "
            "WHEN g % 7 = 3 THEN NULL ELSE CAST(g AS varchar(12)) END AS v FROM "
            "generate_series(1, 3000) AS g ORDER BY g";
    }
    std::vector<ReadRow> rows;
    for (int g = 1; g <= 3000; ++g) {
        rows.push_back({std::to_string(g), std::string(static_cast<std::size_t>(g % 2000), '7'),
                        g % 7 == 3 ? std::nullopt : std::optional<std::string>(std::to_string(g))});
    }
    EXPECT_EQ(difference(read(sql), expected(rows)), "");
}

// A NUL inside a value, bound and read with SQLGetData, short and completed,
// comes back as the driver hands it over. PostgreSQL text holds no NUL: it has
// the values without one. sqliteodbc hands a text over only up to its first
// NUL, whatever the reader.
TEST_P(RowReadersOnDrivers, ANulInsideAValue) {
    std::string sql;
    std::string nul("\0", 1);
    std::string after_short = "b";
    std::string after_long = repeated(backend(), 1500).value;
    if (backend().is_sqlite) {
        db_->send_query("CREATE TEMP TABLE with_nul (id INTEGER, v VARCHAR(8))");
        db_->send_query(
            "INSERT INTO with_nul VALUES (1, 'a' || char(0) || 'b'), (2, 'x' || "
            "char(0) || replace(hex(zeroblob(1500)), '00', 'xy'))");
        sql = "SELECT v, v || '' AS w FROM with_nul ORDER BY id";
        nul.clear();
        after_short.clear();
        after_long.clear();
    } else if (backend().is_mariadb) {
        sql =
            "SELECT CAST(CONCAT('a', CHAR(0), 'b') AS CHAR(8)) AS v, CONCAT('a', CHAR(0), "
            "'b') AS w UNION ALL SELECT CONCAT('x', CHAR(0), REPEAT('xy', 1500)), CONCAT('x', "
            "CHAR(0), REPEAT('xy', 1500))";
    } else {
        nul.clear();
        sql =
            "SELECT CAST('ab' AS varchar(8)) AS v, 'ab' AS w UNION ALL SELECT 'x' || "
            "repeat('xy', 1500), 'x' || repeat('xy', 1500)";
    }
    const std::string short_value = "a" + nul + after_short;
    const std::string long_value = "x" + nul + after_long;
    const std::vector<ReadRow> rows = {{short_value, short_value}, {long_value, long_value}};
    EXPECT_EQ(difference(read(sql), expected(rows)), "");
}

// 10 MiB in one value: "0000000,0000001,...".
TEST_P(RowReadersOnDrivers, TenMebibytes) {
    std::string big;
    big.reserve(1310720 * 8);
    char number[16];
    for (int i = 0; i < 1310720; ++i) {
        std::snprintf(number, sizeof(number), "%07d,", i);
        big += number;
    }
    EXPECT_EQ(difference(read("SELECT big_text FROM big_values"), {{big}}), "");
}

std::string param_name(const ::testing::TestParamInfo<Param>& test) {
    return std::string(std::get<0>(test.param).name) + std::get<1>(test.param).name;
}

bool is_binary_read(const ReadEntryPoint& entry) {
    return std::string(entry.name) == "GetColumnAsBinary";
}

// Every backend with every reader, but for the binary read: psqlODBC hands a
// long text over as SQL_C_BINARY with a NUL for its last byte, so on
// PostgreSQL the binary read is for binary columns only.
std::vector<Param> text_params() {
    std::vector<Param> params;
    for (const Backend& backend : all_backends()) {
        for (const ReadEntryPoint& entry : read_entry_points()) {
            if (!is_binary_read(entry) || backend.is_sqlite || backend.is_mariadb) {
                params.emplace_back(backend, entry);
            }
        }
    }
    return params;
}

INSTANTIATE_TEST_SUITE_P(Drivers, RowReadersOnDrivers, ::testing::ValuesIn(text_params()),
                         param_name);

// Numbers many rows per fetch, as the typed and NumPy readers bind them.
class NumberReadersOnDrivers : public RowReadersOnDrivers {};

TEST_P(NumberReadersOnDrivers, NumbersOverManyRowsets) {
    // 20,000 rows, several row arrays for every reader; MariaDB stops a
    // recursion at 1,000 rows.
    const std::string series =
        "WITH RECURSIVE s(g) AS (SELECT 1 UNION ALL SELECT g + 1 FROM s WHERE g < 1000), k(k) AS "
        "(SELECT 0 UNION ALL SELECT k + 1 FROM k WHERE k < 19), t AS (SELECT s.g + 1000 * k.k AS g "
        "FROM s, k) ";
    std::vector<ReadRow> rows;
    for (int g = 1; g <= 20000; ++g) {
        rows.push_back(
            {std::to_string(g),
             g % 5 == 0 ? std::nullopt : std::optional<std::string>(std::to_string(-2 * g))});
    }
    EXPECT_EQ(difference(read(series + "SELECT g, CASE WHEN g % 5 = 0 THEN NULL ELSE -2 * g END "
                                       "AS m FROM t ORDER BY g"),
                         rows),
              "");
}

// Every backend with every reader but the binary read, which hands over a
// number in the driver's C representation.
std::vector<Param> number_params() {
    std::vector<Param> params;
    for (const Backend& backend : all_backends()) {
        for (const ReadEntryPoint& entry : read_entry_points()) {
            if (!is_binary_read(entry)) {
                params.emplace_back(backend, entry);
            }
        }
    }
    return params;
}

INSTANTIATE_TEST_SUITE_P(Drivers, NumberReadersOnDrivers, ::testing::ValuesIn(number_params()),
                         param_name);

// --- the driver table ---------------------------------------------------------

class DriverTableOnDrivers : public ::testing::TestWithParam<Backend> {};

// Nine rows in rowsets of four: SQLSetPos to the third row of the first
// rowset and SQLGetData there must read "3", and the next fetch must start
// at "5".
// `text` without the blanks that pad a CHAR(4).
std::string unpadded(const char* text) {
    std::string value(text);
    value.erase(value.find_last_not_of(' ') + 1);
    return value;
}

bool completes_in_rowsets(Query& query) {
    const SQLHSTMT statement = detail::QueryStatementAccess::handle(query);
    SQLULEN fetched = 0;
    SQLUSMALLINT statuses[4] = {};
    if (!odbc::succeeded(SQLSetStmtAttr(statement, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0)) ||
        !odbc::succeeded(SQLSetStmtAttr(statement, SQL_ATTR_ROW_STATUS_PTR, statuses, 0)) ||
        SQLSetStmtAttr(statement, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(4), 0) !=
            SQL_SUCCESS) {
        return false;
    }
    char bound[4][16] = {};
    SQLLEN indicators[4] = {};
    bool works =
        odbc::succeeded(SQLBindCol(statement, 1, SQL_C_CHAR, bound, sizeof(bound[0]), indicators));
    works =
        works && odbc::succeeded(SQLFetch(statement)) && fetched == 4 && unpadded(bound[0]) == "1";
    works = works && odbc::succeeded(SQLSetPos(statement, 3, SQL_POSITION, SQL_LOCK_NO_CHANGE));
    char value[16] = {};
    SQLLEN indicator = 0;
    works =
        works &&
        odbc::succeeded(SQLGetData(statement, 1, SQL_C_CHAR, value, sizeof(value), &indicator)) &&
        unpadded(value) == "3";
    works = works && odbc::succeeded(SQLFetch(statement)) && unpadded(bound[0]) == "5";
    SQLFreeStmt(statement, SQL_UNBIND);
    SQLSetStmtAttr(statement, SQL_ATTR_ROW_STATUS_PTR, nullptr, 0);
    SQLSetStmtAttr(statement, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0);
    return works;
}

TEST_P(DriverTableOnDrivers, TheTableSaysWhatTheDriverDoes) {
    TempWorkingDir scratch;
    std::unique_ptr<Database> db = open_database(GetParam());
    Query query = db->send_query(
        "WITH RECURSIVE s(g) AS (SELECT 1 UNION ALL SELECT g + 1 FROM s WHERE g < 9) "
        "SELECT CAST(g AS CHAR(4)) AS g FROM s ORDER BY 1");
    const SQLHDBC connection = detail::QueryStatementAccess::connection(query);
    char name[128] = {};
    SQLSMALLINT length = 0;
    ASSERT_TRUE(odbc::succeeded(SQLGetInfo(connection, SQL_DRIVER_NAME, name,
                                           static_cast<SQLSMALLINT>(sizeof(name)), &length)));
    const bool table_says = odbc::driver_capabilities(connection).completes_in_rowsets;
    const bool driver_does = completes_in_rowsets(query);
    EXPECT_EQ(table_says, driver_does) << name;
    if (const odbc::DriverQuirk* quirk = odbc::driver_quirk(name)) {
        EXPECT_FALSE(driver_does) << name << " no longer shows the fault the table names ("
                                  << quirk->rowset_completion_fault << ")";
    }
    // PostgreSQL's driver is the one that reads in row arrays.
    EXPECT_EQ(driver_does, !GetParam().is_sqlite && !GetParam().is_mariadb) << name;
}

INSTANTIATE_TEST_SUITE_P(Drivers, DriverTableOnDrivers, ::testing::ValuesIn(all_backends()),
                         BackendName());

}  // namespace
}  // namespace zel::sql::test::integration
