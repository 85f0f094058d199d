#include "odbc/text_rows.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "odbc/odbc_rules.h"
#include "zel/Error.h"

namespace zel::sql::detail {

struct QueryStatementAccess {
    static SQLHSTMT handle(const Query& query) { return query.statement_(); }
    static const std::string& text(const Query& query) { return query.query_; }
};

namespace {

// A column without a declared size, or with one too large to bind whole, gets
// this many bytes per row; a longer value is completed with SQLGetData.
constexpr SQLLEN unknown_width = 256;
constexpr SQLLEN max_width = 4096;
// The row arrays of all columns together stay near this size: enough rows per
// fetch that the driver manager's cost per call vanishes, few enough that the
// arrays stay in the processor's cache.
constexpr std::size_t rowset_budget = 256 * 1024;
constexpr SQLULEN max_rowset_rows = 1024;
// The first piece of SQLGetData when a value is completed; a value whose
// length the driver then tells is read whole by one more call.
constexpr SQLLEN completion_piece = 64 * 1024;

std::string column_text(int column) {
    return std::to_string(column);
}

[[noreturn]] void throw_statement_error(SQLHSTMT statement, const std::string& before,
                                        const std::string& after = std::string()) {
    const odbc::Diagnostics diagnostics = odbc::collect_diagnostics(SQL_HANDLE_STMT, statement);
    throw odbc::database_error(before + diagnostics.text + after, diagnostics);
}

// Bytes for one value, as text, of a column that holds up to `size`
// characters: four bytes per character in UTF-8, room for a sign, a decimal
// point and an exponent, and the terminating NUL.
SQLLEN width_for(SQLULEN size) {
    if (size == 0 || size > static_cast<SQLULEN>((max_width - 16) / 4)) {
        return unknown_width;
    }
    return std::max<SQLLEN>(32, static_cast<SQLLEN>(size) * 4 + 16);
}

struct ColumnArray {
    SQLLEN width = 0;
    std::vector<char> bytes;         // rows x width
    std::vector<SQLLEN> indicators;  // one per row
};

// The buffers bound to every column of a statement, as row arrays where the
// driver takes them. The bindings and the statement attributes that point
// into this object are undone when it dies, however the read ends: the
// caller's Query must never write into freed buffers at a later fetch.
class BoundRows {
public:
    BoundRows(SQLHSTMT statement, int columns) : statement_(statement) {
        SQLLEN row_bytes = 0;
        columns_.resize(static_cast<std::size_t>(columns));
        for (int column = 1; column <= columns; ++column) {
            SQLSMALLINT type = 0;
            SQLULEN size = 0;
            if (!odbc::succeeded(SQLDescribeCol(statement, static_cast<SQLUSMALLINT>(column),
                                                nullptr, 0, nullptr, &type, &size, nullptr,
                                                nullptr))) {
                throw_statement_error(statement,
                                      "Unable to describe column " + column_text(column) + ": ");
            }
            columns_[static_cast<std::size_t>(column - 1)].width = width_for(size);
            row_bytes += width_for(size) + static_cast<SQLLEN>(sizeof(SQLLEN));
        }
        choose_rowset(std::clamp<SQLULEN>(rowset_budget / static_cast<SQLULEN>(row_bytes), 1,
                                          max_rowset_rows));
        for (int column = 1; column <= columns; ++column) {
            ColumnArray& array = columns_[static_cast<std::size_t>(column - 1)];
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

    BoundRows(const BoundRows&) = delete;
    BoundRows& operator=(const BoundRows&) = delete;

    ~BoundRows() {
        if (bound_) {
            SQLFreeStmt(statement_, SQL_UNBIND);
        }
        if (rowset_rows_ > 1) {
            SQLSetStmtAttr(statement_, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(1), 0);
        }
        if (counts_rows_) {
            SQLSetStmtAttr(statement_, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0);
            SQLSetStmtAttr(statement_, SQL_ATTR_ROW_STATUS_PTR, nullptr, 0);
        }
    }

    // The rows that the latest successful fetch delivered.
    SQLULEN rows_fetched() const { return counts_rows_ ? rows_fetched_ : 1; }

    // True for a row of the rowset that the driver could not deliver.
    bool row_has_error(SQLULEN row) const {
        return counts_rows_ && statuses_[row] == SQL_ROW_ERROR;
    }

    // Row `row` of the rowset, every column, each value whole.
    void append_row(SQLULEN row, TextRow& out) {
        out.reserve(columns_.size());
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            const ColumnArray& array = columns_[i];
            const SQLLEN indicator = array.indicators[row];
            if (indicator == SQL_NULL_DATA) {
                out.emplace_back(std::nullopt);
            } else if (indicator >= 0 && indicator < array.width) {
                out.emplace_back(std::in_place,
                                 array.bytes.data() + row * static_cast<SQLULEN>(array.width),
                                 static_cast<std::size_t>(indicator));
            } else {
                out.emplace_back(complete(row, static_cast<int>(i + 1), indicator));
            }
        }
    }

private:
    // Row arrays need the count of delivered rows and each row's status; a
    // driver that refuses any of the three attributes reads one row per fetch.
    void choose_rowset(SQLULEN rows) {
        statuses_.resize(rows);
        counts_rows_ = odbc::succeeded(SQLSetStmtAttr(statement_, SQL_ATTR_ROWS_FETCHED_PTR,
                                                      &rows_fetched_, 0)) &&
                       odbc::succeeded(SQLSetStmtAttr(statement_, SQL_ATTR_ROW_STATUS_PTR,
                                                      statuses_.data(), 0));
        if (rows > 1 && counts_rows_ &&
            SQLSetStmtAttr(statement_, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(rows),
                           0) == SQL_SUCCESS) {
            rowset_rows_ = rows;
            return;
        }
        // Refused, or changed by the driver (SQL_SUCCESS_WITH_INFO, "01S02").
        if (rows > 1) {
            SQLSetStmtAttr(statement_, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(1), 0);
        }
        rowset_rows_ = 1;
    }

    // A value longer than its buffer, or of a length the driver did not tell
    // (SQL_NO_TOTAL): read again, whole, with SQLGetData, which starts at the
    // beginning of a bound column's value.
    std::string complete(SQLULEN row, int column, SQLLEN bound_indicator) {
        if (rowset_rows_ > 1 &&
            !odbc::succeeded(SQLSetPos(statement_, static_cast<SQLSETPOSIROW>(row + 1),
                                       SQL_POSITION, SQL_LOCK_NO_CHANGE))) {
            throw_statement_error(statement_, "Unable to position on the row of column " +
                                                  column_text(column) + ": ");
        }
        std::string value;
        SQLLEN piece = completion_piece;
        for (;;) {
            const std::size_t kept = value.size();
            value.resize(kept + static_cast<std::size_t>(piece));
            SQLLEN indicator = 0;
            const SQLRETURN code = SQLGetData(statement_, static_cast<SQLUSMALLINT>(column),
                                              SQL_C_CHAR, value.data() + kept, piece, &indicator);
            if (code == SQL_NO_DATA) {
                value.resize(kept);
                break;
            }
            if (!odbc::succeeded(code) || indicator == SQL_NULL_DATA) {
                throw_statement_error(statement_, "Error while retrieving data from column " +
                                                      column_text(column) + ": ");
            }
            if (indicator != SQL_NO_TOTAL && indicator < piece) {
                value.resize(kept + static_cast<std::size_t>(indicator));
                break;
            }
            // A full piece: its terminating NUL is dropped. When the driver
            // told the length, the rest comes in one piece.
            value.resize(kept + static_cast<std::size_t>(piece) - 1);
            if (indicator != SQL_NO_TOTAL) {
                piece = indicator - (piece - 1) + 1;
            }
        }
        if (bound_indicator >= 0 && value.size() != static_cast<std::size_t>(bound_indicator)) {
            throw Error("Column " + column_text(column) + " read " + std::to_string(value.size()) +
                        " bytes with SQLGetData where the fetch announced " +
                        std::to_string(bound_indicator));
        }
        return value;
    }

    SQLHSTMT statement_;
    std::vector<ColumnArray> columns_;
    std::vector<SQLUSMALLINT> statuses_;
    SQLULEN rows_fetched_ = 0;
    SQLULEN rowset_rows_ = 1;
    bool counts_rows_ = false;
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
    const SQLHSTMT statement = QueryStatementAccess::handle(query);
    BoundRows bound(statement, columns);
    // fetch_checked marks every wait for the database for bounded waiting and
    // reports a failed fetch with the driver's diagnostics.
    while (query.fetch_checked()) {
        const SQLULEN fetched = bound.rows_fetched();
        for (SQLULEN row = 0; row < fetched; ++row) {
            if (bound.row_has_error(row)) {
                throw_statement_error(
                    statement, "Fetch failed: ", " (" + QueryStatementAccess::text(query) + ")");
            }
            bound.append_row(row, rows.emplace_back());
        }
    }
    return rows;
}

}  // namespace zel::sql::detail
