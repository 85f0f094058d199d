#include "odbc/parameter_arrays.h"

#include <string>

#include "odbc/odbc_rules.h"
#include "odbc/prepared_statement.h"
#include "odbc/query_statement.h"
#include "util/string.h"
#include "zel/sql/DatabaseError.h"

namespace zel::sql::detail {
namespace {

bool info_number(SQLHDBC connection, SQLUSMALLINT type, SQLUINTEGER& out) {
    out = 0;
    return odbc::succeeded(SQLGetInfo(connection, type, &out, sizeof(out), nullptr));
}

void set_attribute(SQLHSTMT statement, SQLINTEGER attribute, SQLPOINTER value) {
    if (!odbc::succeeded(SQLSetStmtAttr(statement, attribute, value, 0))) {
        odbc::throw_statement_error(statement, "Unable to send parameter arrays: ");
    }
}

// The rows changed by one execution of many parameter sets: one count for
// all, or one per set that the next results give (SQL_PARC_BATCH).
long long rows_changed(SQLHSTMT statement) {
    long long total = 0;
    SQLRETURN more = SQL_SUCCESS;
    while (odbc::succeeded(more)) {
        SQLLEN changed = -1;
        if (!odbc::succeeded(SQLRowCount(statement, &changed)) || changed < 0) {
            total = -1;
        } else if (total >= 0) {
            total += static_cast<long long>(changed);
        }
        more = SQLMoreResults(statement);
    }
    return total;
}

}  // namespace

bool parameter_arrays_fit(Query& query) {
    const SQLHDBC connection = QueryStatementAccess::connection(query);
    SQLUINTEGER counts = 0;
    if (!info_number(connection, SQL_PARAM_ARRAY_ROW_COUNTS, counts)) {
        return false;
    }
    SQLUINTEGER selects = 0;
    if (info_number(connection, SQL_PARAM_ARRAY_SELECTS, selects) && selects == SQL_PAS_NO_SELECT) {
        SQLSMALLINT result_columns = 0;
        const SQLHSTMT statement = QueryStatementAccess::handle(query);
        if (!odbc::succeeded(SQLNumResultCols(statement, &result_columns)) || result_columns != 0) {
            return false;
        }
    }
    return true;
}

void throw_for_row(const DatabaseError& error, std::size_t row) {
    throw DatabaseError(util::cat("Row ", row, ": ", error.get_message()), error.get_sqlstate(),
                        error.get_native_error());
}

long long execute_parameter_array(Database& db, Query& query, std::vector<ParameterColumn>& columns,
                                  std::size_t rows, std::size_t first_row) {
    const SQLHSTMT statement = QueryStatementAccess::handle(query);
    std::vector<SQLUSMALLINT> status(rows, SQL_PARAM_UNUSED);
    SQLULEN processed = 0;
    set_attribute(statement, SQL_ATTR_PARAM_BIND_TYPE,
                  reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_PARAM_BIND_BY_COLUMN)));
    set_attribute(statement, SQL_ATTR_PARAMSET_SIZE,
                  reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(rows)));
    set_attribute(statement, SQL_ATTR_PARAM_STATUS_PTR, status.data());
    set_attribute(statement, SQL_ATTR_PARAMS_PROCESSED_PTR, &processed);
    SQLUSMALLINT number = 0;
    for (ParameterColumn& column : columns) {
        ++number;
        const SQLRETURN code = SQLBindParameter(
            statement, number, SQL_PARAM_INPUT, column.c_type, column.sql_type, column.column_size,
            column.decimal_digits, column.values.data(), column.width, column.indicators.data());
        if (!odbc::succeeded(code)) {
            odbc::throw_statement_error(statement,
                                        util::cat("Unable to bind parameter ", number, ": "));
        }
    }
    try {
        PreparedStatementAccess::execute(db, query);
    } catch (const DatabaseError& error) {
        for (std::size_t i = 0; i < rows; ++i) {
            if (status[i] == SQL_PARAM_ERROR) {
                throw_for_row(error, first_row + i);
            }
        }
        // The driver marked no row. Some count the rows done before the
        // failed one, others that one too; some stop at none: the rows from
        // the last that may have been done to the end of the batch.
        const std::size_t from = processed > 0 ? static_cast<std::size_t>(processed) - 1 : 0;
        throw DatabaseError(
            util::cat("Rows ", first_row + from, " to ", first_row + rows - 1,
                      " (the driver did not tell which failed): ", error.get_message()),
            error.get_sqlstate(), error.get_native_error());
    }
    const long long changed = rows_changed(statement);
    // A statement that gave a result set is executed again only once its
    // cursor is closed; the status and count the driver would write to go.
    SQLFreeStmt(statement, SQL_CLOSE);
    SQLSetStmtAttr(statement, SQL_ATTR_PARAM_STATUS_PTR, nullptr, 0);
    SQLSetStmtAttr(statement, SQL_ATTR_PARAMS_PROCESSED_PTR, nullptr, 0);
    return changed;
}

}  // namespace zel::sql::detail
