#include "odbc/text_rows.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "odbc/odbc_rules.h"
#include "odbc/query_statement.h"
#include "odbc/whole_value.h"
#include "zel/Error.h"

namespace zel::sql::detail {

namespace {

// A column whose values as text fit in this many bytes is bound; a column of
// unknown or larger declared size is read with SQLGetData alone, since
// drivers differ in what SQLGetData gives for a bound column's cut value.
constexpr SQLLEN max_width = 4096;
// Row arrays: the bytes of one rowset's buffers and indicators, and the most
// rows per fetch. A few hundred rows per fetch take the driver's cost per
// fetch out of the read; more only grow the buffers.
constexpr std::size_t rowset_bytes = std::size_t{256} << 10;
constexpr std::size_t max_rowset_rows = 512;

std::string column_text(int column) {
    return std::to_string(column);
}

using odbc::throw_statement_error;

// Bytes for one value, as text, of a column that holds up to `size`
// characters: four bytes per character in UTF-8, room for a sign, a decimal
// point and an exponent, and the terminating NUL. 0: not bound.
SQLLEN width_for(SQLULEN size) {
    if (size == 0 || size > static_cast<SQLULEN>((max_width - 16) / 4)) {
        return 0;
    }
    return std::max<SQLLEN>(32, static_cast<SQLLEN>(size) * 4 + 16);
}

// Whether the driver behind `connection` can complete a cut value in any row
// of a rowset: SQLGetData on a block cursor after SQLSetPos(SQL_POSITION)
// (SQL_GD_BLOCK), and SQLSetPos itself. A driver that does not say so, or
// cannot be asked, is read one row per fetch.
//
// MariaDB Connector/ODBC (3.1) reports both, but after SQLSetPos its
// SQLGetData reads the rowset's first row and its next fetch skips rows
// (docs/driver_notes.md): it is read one row per fetch as well.
bool completes_values_in_rowsets(SQLHDBC connection) {
    if (connection == SQL_NULL_HDBC) {
        return false;
    }
    SQLUINTEGER extensions = 0;
    if (!odbc::succeeded(SQLGetInfo(connection, SQL_GETDATA_EXTENSIONS, &extensions,
                                    sizeof(extensions), nullptr)) ||
        (extensions & SQL_GD_BLOCK) == 0) {
        return false;
    }
    SQLUSMALLINT set_pos = SQL_FALSE;
    if (!odbc::succeeded(SQLGetFunctions(connection, SQL_API_SQLSETPOS, &set_pos)) ||
        set_pos != SQL_TRUE) {
        return false;
    }
    char name[128] = {};
    SQLSMALLINT length = 0;
    if (!odbc::succeeded(SQLGetInfo(connection, SQL_DRIVER_NAME, name,
                                    static_cast<SQLSMALLINT>(sizeof(name)), &length))) {
        return false;
    }
    return std::string_view(name).find("maodbc") == std::string_view::npos;
}

struct ColumnBuffer {
    SQLLEN width = 0;                // 0: not bound, read with SQLGetData
    std::vector<char> bytes;         // one value of `width` bytes per row of the rowset
    std::vector<SQLLEN> indicators;  // one per row of the rowset
};

// The character buffers bound to the columns of a statement whose declared
// size fits. When every column is bound and the driver can complete a cut
// value in any row of a rowset, each fetch fills a row array
// (SQL_ATTR_ROW_ARRAY_SIZE) sized by bytes; otherwise one row per fetch.
// The bindings and the row array are undone when this object dies, however
// the read ends: the caller's Query must never write into freed buffers at a
// later fetch.
//
// A value that does not fit its buffer (a driver may declare less than it
// returns: SQLite never checks declared sizes) is read again whole with
// SQLGetData, in a rowset after SQLSetPos to its row.
class BoundColumns {
public:
    BoundColumns(SQLHSTMT statement, SQLHDBC connection, const std::string& sql, int columns)
        : statement_(statement), sql_(sql) {
        columns_.resize(static_cast<std::size_t>(columns));
        std::size_t row_bytes = 0;
        bool all_bound = true;
        for (int column = 1; column <= columns; ++column) {
            SQLSMALLINT type = 0;
            SQLULEN size = 0;
            if (!odbc::succeeded(SQLDescribeCol(statement, static_cast<SQLUSMALLINT>(column),
                                                nullptr, 0, nullptr, &type, &size, nullptr,
                                                nullptr))) {
                throw_statement_error(statement,
                                      "Unable to describe column " + column_text(column) + ": ");
            }
            const SQLLEN width = width_for(size);
            columns_[static_cast<std::size_t>(column - 1)].width = width;
            all_bound = all_bound && width > 0;
            row_bytes += static_cast<std::size_t>(width) + sizeof(SQLLEN);
        }
        if (all_bound && row_bytes * 2 <= rowset_bytes && completes_values_in_rowsets(connection)) {
            start_row_arrays(std::min(max_rowset_rows, rowset_bytes / row_bytes));
        }
        for (int column = 1; column <= columns; ++column) {
            ColumnBuffer& array = columns_[static_cast<std::size_t>(column - 1)];
            if (array.width == 0) {
                continue;
            }
            array.bytes.resize(static_cast<std::size_t>(array.width) * rowset_rows_);
            array.indicators.resize(rowset_rows_);
            bound_ = true;
            if (!odbc::succeeded(SQLBindCol(statement, static_cast<SQLUSMALLINT>(column),
                                            SQL_C_CHAR, array.bytes.data(), array.width,
                                            array.indicators.data()))) {
                throw_statement_error(statement,
                                      "Unable to bind to column " + column_text(column) + ": ");
            }
        }
    }

    BoundColumns(const BoundColumns&) = delete;
    BoundColumns& operator=(const BoundColumns&) = delete;

    ~BoundColumns() {
        if (bound_) {
            SQLFreeStmt(statement_, SQL_UNBIND);
        }
        if (rowset_rows_ > 1) {
            SQLSetStmtAttr(statement_, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(1), 0);
        }
        if (row_arrays_set_) {
            SQLSetStmtAttr(statement_, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0);
            SQLSetStmtAttr(statement_, SQL_ATTR_ROW_STATUS_PTR, nullptr, 0);
        }
    }

    // The rows of the latest fetch, every column, each value whole.
    void append_rowset(std::vector<TextRow>& out) {
        if (rowset_rows_ == 1) {
            append_row(out.emplace_back(), 0);
            return;
        }
        if (rows_fetched_ > rowset_rows_) {
            throw Error("The driver fetched " + std::to_string(rows_fetched_) +
                        " rows into a row array of " + std::to_string(rowset_rows_));
        }
        // A row that failed inside the rowset is reported through its status
        // only: it fails the read as a failed fetch would.
        for (std::size_t row = 0; row < rows_fetched_; ++row) {
            if (statuses_[row] == SQL_ROW_ERROR) {
                throw_statement_error(statement_, "Fetch failed: ", " (" + sql_ + ")");
            }
        }
        positioned_ = 0;
        for (std::size_t row = 0; row < rows_fetched_; ++row) {
            append_row(out.emplace_back(), row);
        }
    }

private:
    // Row arrays of `rows` rows, when the driver takes that size as it is;
    // otherwise one row per fetch.
    void start_row_arrays(std::size_t rows) {
        if (rows < 2) {
            return;
        }
        statuses_.resize(rows);
        row_arrays_set_ = true;
        if (!odbc::succeeded(
                SQLSetStmtAttr(statement_, SQL_ATTR_ROWS_FETCHED_PTR, &rows_fetched_, 0)) ||
            !odbc::succeeded(
                SQLSetStmtAttr(statement_, SQL_ATTR_ROW_STATUS_PTR, statuses_.data(), 0))) {
            return;
        }
        // SQL_SUCCESS_WITH_INFO (01S02) means the driver chose another size.
        const SQLRETURN code = SQLSetStmtAttr(statement_, SQL_ATTR_ROW_ARRAY_SIZE,
                                              reinterpret_cast<SQLPOINTER>(rows), 0);
        if (code == SQL_SUCCESS) {
            rowset_rows_ = rows;
        } else if (odbc::succeeded(code)) {
            SQLSetStmtAttr(statement_, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(1), 0);
        }
    }

    void append_row(TextRow& out, std::size_t row) {
        out.reserve(columns_.size());
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            const ColumnBuffer& array = columns_[i];
            const int column = static_cast<int>(i + 1);
            if (array.width == 0) {
                out.emplace_back(read_whole(column));
                continue;
            }
            const SQLLEN indicator = array.indicators[row];
            if (indicator == SQL_NULL_DATA) {
                out.emplace_back(std::nullopt);
            } else if (indicator >= 0 && indicator < array.width) {
                out.emplace_back(std::in_place,
                                 array.bytes.data() + row * static_cast<std::size_t>(array.width),
                                 static_cast<std::size_t>(indicator));
            } else {
                position_at(row);
                out.emplace_back(complete(column, indicator));
            }
        }
    }

    // Makes row `row` (0-based) of the rowset the one SQLGetData reads.
    void position_at(std::size_t row) {
        if (rowset_rows_ == 1 || positioned_ == row + 1) {
            return;
        }
        if (!odbc::succeeded(SQLSetPos(statement_, static_cast<SQLSETPOSIROW>(row + 1),
                                       SQL_POSITION, SQL_LOCK_NO_CHANGE))) {
            throw_statement_error(statement_, "Unable to position on row " +
                                                  std::to_string(row + 1) + " of a rowset: ");
        }
        positioned_ = row + 1;
    }

    // A bound value longer than its declared size, or of a length the driver
    // did not tell (SQL_NO_TOTAL): read again, whole, with SQLGetData, which
    // psqlODBC, sqliteodbc and MariaDB Connector/ODBC start again at the
    // value's beginning. A driver that does not is caught by the length
    // check, never passed off as a shorter value.
    std::string complete(int column, SQLLEN bound_indicator) {
        std::optional<std::string> value = read_whole(column);
        if (!value ||
            (bound_indicator >= 0 && value->size() != static_cast<std::size_t>(bound_indicator))) {
            throw Error("Column " + column_text(column) + " read " +
                        (value ? std::to_string(value->size()) + " bytes" : std::string("NULL")) +
                        " with SQLGetData where the fetch announced " +
                        (bound_indicator >= 0 ? std::to_string(bound_indicator) + " bytes"
                                              : std::string("more than the buffer")));
        }
        return std::move(*value);
    }

    // The value of `column` in the current row through SQLGetData.
    std::optional<std::string> read_whole(int column) {
        std::string value;
        if (!odbc::append_whole_value(statement_, column, SQL_C_CHAR, value)) {
            return std::nullopt;
        }
        return value;
    }

    SQLHSTMT statement_;
    const std::string& sql_;
    std::vector<ColumnBuffer> columns_;
    std::size_t rowset_rows_ = 1;
    SQLULEN rows_fetched_ = 0;
    std::vector<SQLUSMALLINT> statuses_;
    bool row_arrays_set_ = false;
    std::size_t positioned_ = 0;  // the row (1-based) SQLSetPos made current; 0: none
    bool bound_ = false;
};

}  // namespace

std::vector<std::string> read_column_names(Query& query) {
    const int columns = query.get_num_result_columns();
    std::vector<std::string> names;
    if (columns <= 0) {
        return names;
    }
    names.reserve(static_cast<std::size_t>(columns));
    for (int column = 1; column <= columns; ++column) {
        names.push_back(query.get_column_name(column));
    }
    return names;
}

std::vector<TextRow> read_text_rows(Query& query, int columns) {
    std::vector<TextRow> rows;
    if (columns <= 0) {
        return rows;
    }
    BoundColumns bound(QueryStatementAccess::handle(query), QueryStatementAccess::connection(query),
                       QueryStatementAccess::sql(query), columns);
    // fetch_checked marks every wait for the database for bounded waiting and
    // reports a failed fetch with the driver's diagnostics.
    while (query.fetch_checked()) {
        bound.append_rowset(rows);
    }
    return rows;
}

}  // namespace zel::sql::detail
