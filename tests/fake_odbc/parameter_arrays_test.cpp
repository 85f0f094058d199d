// Parameter arrays against the fake: which drivers get them, the exact calls
// of one execution for a whole batch (column-wise binding, the set size, the
// row status), the rows changed, and the row named when one fails.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_odbc.h"
#include "fake_odbc_test.h"
#include "odbc/parameter_arrays.h"
#include "odbc/prepared_statement.h"
#include "zel/sql/Database.h"

namespace zel::sql::test {
namespace {

using detail::ParameterColumn;
using detail::PreparedStatementAccess;
using fake_odbc::Fn;

const std::string insert_sql = "INSERT INTO SETTINGS VALUES (?, ?)";

class ParameterArraysTest : public FakeOdbcTest {
protected:
    // Three rows: (1, "ab"), (NULL, ""), (3, NULL).
    static std::vector<ParameterColumn> three_rows() {
        ParameterColumn ids;
        ids.c_type = SQL_C_SBIGINT;
        ids.sql_type = SQL_BIGINT;
        ids.width = sizeof(SQLBIGINT);
        ids.values.resize(3 * sizeof(SQLBIGINT));
        ids.indicators = {0, SQL_NULL_DATA, 0};
        ParameterColumn names;
        names.width = 2;
        names.column_size = 2;
        names.values = {'a', 'b', 0, 0, 0, 0};
        names.indicators = {2, 0, SQL_NULL_DATA};
        return {ids, names};
    }
};

TEST_F(ParameterArraysTest, TheDriverTellingOfArrayRowCountsGetsArrays) {
    struct Case {
        SQLUINTEGER row_counts;
        SQLUINTEGER selects;
        bool fit;
    };
    for (const Case& c : {Case{0, 0, false}, Case{SQL_PARC_NO_BATCH, 0, true},
                          Case{SQL_PARC_BATCH, SQL_PAS_NO_SELECT, true}}) {
        fake_odbc::DriverInfo info;
        info.param_array_row_counts = c.row_counts;
        info.param_array_selects = c.selects;
        fake_odbc::set_driver_info(info);
        Database db("accel", "", "");
        Query query = PreparedStatementAccess::prepare(db, insert_sql);
        EXPECT_EQ(detail::parameter_arrays_fit(query), c.fit) << c.row_counts << " " << c.selects;
    }
}

TEST_F(ParameterArraysTest, OneExecutionSendsTheBatchBoundByColumn) {
    Database db("accel", "", "");
    Query query = PreparedStatementAccess::prepare(db, insert_sql);
    std::vector<ParameterColumn> columns = three_rows();
    fake_odbc::set_row_count(3);
    const std::size_t before = fake_odbc::calls().size();
    EXPECT_EQ(detail::execute_parameter_array(db, query, columns, 3, 1), 3);
    EXPECT_EQ(names_from(before),
              (std::vector<std::string>{"SQLSetStmtAttr", "SQLSetStmtAttr", "SQLSetStmtAttr",
                                        "SQLSetStmtAttr", "SQLBindParameter", "SQLBindParameter",
                                        "SQLExecute", "SQLRowCount", "SQLMoreResults",
                                        "SQLFreeStmt", "SQLSetStmtAttr", "SQLSetStmtAttr"}));
    const std::vector<fake_odbc::Call> set = fake_odbc::calls_of(Fn::set_stmt_attr);
    const std::size_t n = set.size();
    EXPECT_EQ(set[n - 6].number(1), SQL_ATTR_PARAM_BIND_TYPE);
    EXPECT_EQ(set[n - 6].number(2), SQL_PARAM_BIND_BY_COLUMN);
    EXPECT_EQ(set[n - 5].number(1), SQL_ATTR_PARAMSET_SIZE);
    EXPECT_EQ(set[n - 5].number(2), 3);
    EXPECT_EQ(set[n - 4].number(1), SQL_ATTR_PARAM_STATUS_PTR);
    EXPECT_EQ(set[n - 3].number(1), SQL_ATTR_PARAMS_PROCESSED_PTR);
    // The statement keeps no pointer into memory that is gone after the call.
    EXPECT_EQ(set[n - 1].number(1), SQL_ATTR_PARAMS_PROCESSED_PTR);
    EXPECT_EQ(set[n - 1].pointer(2), nullptr);
    for (std::size_t i = 0; i < 2; ++i) {
        const fake_odbc::Call bind = fake_odbc::nth_call(Fn::bind_parameter, i);
        EXPECT_EQ(bind.number(1), static_cast<long long>(i + 1));
        EXPECT_EQ(bind.number(3), columns[i].c_type);
        EXPECT_EQ(bind.pointer(7), columns[i].values.data());
        EXPECT_EQ(bind.number(8), columns[i].width);
        EXPECT_EQ(bind.pointer(9), columns[i].indicators.data());
    }
    EXPECT_EQ(fake_odbc::count(Fn::execute), 1);
    fake_odbc::set_row_count(-1);
    EXPECT_EQ(detail::execute_parameter_array(db, query, columns, 3, 1), -1);
}

TEST_F(ParameterArraysTest, AFailureNamesTheRowTheDriverMarked) {
    struct Case {
        std::vector<SQLUSMALLINT> status;
        std::string before;
    };
    const std::vector<Case> cases = {
        {{SQL_PARAM_SUCCESS, SQL_PARAM_ERROR, SQL_PARAM_UNUSED}, "Row 12: "},
        // Two rows processed, none marked: the second or the third failed.
        {{SQL_PARAM_SUCCESS, SQL_PARAM_SUCCESS},
         "Rows 12 to 13 (the driver did not tell which "
         "failed): "},
        {{}, "Rows 11 to 13 (the driver did not tell which failed): "},
    };
    for (const Case& c : cases) {
        Database db("accel", "", "");
        Query query = PreparedStatementAccess::prepare(db, insert_sql);
        std::vector<ParameterColumn> columns = three_rows();
        fake_odbc::set_parameter_status(c.status);
        fake_odbc::set_result(Fn::execute, SQL_ERROR,
                              {fake_odbc::Diagnostic("[drv]duplicate", "23505", 7)});
        const auto error =
            database_error([&] { detail::execute_parameter_array(db, query, columns, 3, 11); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->get_message(),
                  c.before + "Query failed: [drv]duplicate (" + insert_sql + ")");
        EXPECT_EQ(error->get_sqlstate(), "23505");
        EXPECT_EQ(error->get_native_error(), 7);
    }
}

}  // namespace
}  // namespace zel::sql::test
