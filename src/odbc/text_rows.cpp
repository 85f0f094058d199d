#include "odbc/text_rows.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "odbc/odbc_rules.h"
#include "odbc/query_statement.h"
#include "zel/Error.h"

namespace zel::sql::detail {

namespace {

// A column whose values as text fit in this many bytes is bound; a column of
// unknown or larger declared size is read with SQLGetData alone, since
// drivers differ in what SQLGetData gives for a bound column's cut value.
constexpr SQLLEN max_width = 4096;
// The first piece of SQLGetData; a value whose length the driver then tells
// is read whole by one more call.
constexpr SQLLEN first_piece = 1024;

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
// point and an exponent, and the terminating NUL. 0: not bound.
SQLLEN width_for(SQLULEN size) {
    if (size == 0 || size > static_cast<SQLULEN>((max_width - 16) / 4)) {
        return 0;
    }
    return std::max<SQLLEN>(32, static_cast<SQLLEN>(size) * 4 + 16);
}

struct ColumnBuffer {
    SQLLEN width = 0;  // 0: not bound, read with SQLGetData
    std::vector<char> bytes;
    SQLLEN indicator = 0;
};

// The character buffers bound to the columns of a statement whose declared
// size fits, one row per fetch. The bindings are undone when this object
// dies, however the read ends: the caller's Query must never write into
// freed buffers at a later fetch.
//
// Row arrays (SQL_ATTR_ROW_ARRAY_SIZE) are not used: a value longer than its
// column's declared size, which SQLite never checks, can then be completed
// only after SQLSetPos to its row, which sqliteodbc refuses on a
// forward-only cursor and after which MariaDB Connector/ODBC's next fetch
// starts again from the positioned row.
class BoundColumns {
public:
    BoundColumns(SQLHSTMT statement, int columns) : statement_(statement) {
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
            const SQLLEN width = width_for(size);
            columns_[static_cast<std::size_t>(column - 1)].width = width;
        }
        for (int column = 1; column <= columns; ++column) {
            ColumnBuffer& array = columns_[static_cast<std::size_t>(column - 1)];
            if (array.width == 0) {
                continue;
            }
            array.bytes.resize(static_cast<std::size_t>(array.width));
            bound_ = true;
            if (!odbc::succeeded(SQLBindCol(statement, static_cast<SQLUSMALLINT>(column),
                                            SQL_C_CHAR, array.bytes.data(), array.width,
                                            &array.indicator))) {
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
    }

    // The fetched row, every column, each value whole.
    void append_row(TextRow& out) {
        out.reserve(columns_.size());
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            const ColumnBuffer& array = columns_[i];
            const int column = static_cast<int>(i + 1);
            if (array.width == 0) {
                out.emplace_back(read_whole(column));
                continue;
            }
            const SQLLEN indicator = array.indicator;
            if (indicator == SQL_NULL_DATA) {
                out.emplace_back(std::nullopt);
            } else if (indicator >= 0 && indicator < array.width) {
                out.emplace_back(std::in_place, array.bytes.data(),
                                 static_cast<std::size_t>(indicator));
            } else {
                out.emplace_back(complete(column, indicator));
            }
        }
    }

private:
    // A bound value longer than its declared size, or of a length the driver
    // did not tell (SQL_NO_TOTAL): read again, whole, with SQLGetData, which
    // psqlODBC and sqliteodbc start again at the value's beginning. A driver
    // that does not (MariaDB Connector/ODBC gives nothing more) is caught by
    // the length check, never passed off as a shorter value.
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

    // The value of `column` in the current row through SQLGetData: a first
    // piece on the stack, which holds most values; then, when the driver
    // tells the length, the rest in one piece straight into the result.
    std::optional<std::string> read_whole(int column) {
        char first[first_piece];
        SQLLEN indicator = 0;
        if (!get_piece(column, first, first_piece, indicator)) {
            return std::string();
        }
        if (indicator == SQL_NULL_DATA) {
            return std::nullopt;
        }
        if (indicator != SQL_NO_TOTAL && indicator < first_piece) {
            return std::string(first, static_cast<std::size_t>(indicator));
        }
        std::string value(first, static_cast<std::size_t>(first_piece - 1));
        SQLLEN last_piece = first_piece;
        for (;;) {
            // The indicator told what was left before the last piece.
            const SQLLEN piece =
                indicator != SQL_NO_TOTAL
                    ? indicator - (last_piece - 1) + 1
                    : std::max<SQLLEN>(static_cast<SQLLEN>(value.size()), 64 * 1024);
            const std::size_t kept = value.size();
            value.resize(kept + static_cast<std::size_t>(piece));
            if (!get_piece(column, value.data() + kept, piece, indicator) ||
                indicator == SQL_NULL_DATA) {
                value.resize(kept);
                return value;
            }
            if (indicator != SQL_NO_TOTAL && indicator < piece) {
                value.resize(kept + static_cast<std::size_t>(indicator));
                return value;
            }
            value.resize(kept + static_cast<std::size_t>(piece) - 1);
            last_piece = piece;
        }
    }

    // One SQLGetData as text; false for SQL_NO_DATA (nothing left).
    bool get_piece(int column, char* buffer, SQLLEN length, SQLLEN& indicator) {
        const SQLRETURN code = SQLGetData(statement_, static_cast<SQLUSMALLINT>(column), SQL_C_CHAR,
                                          buffer, length, &indicator);
        if (code == SQL_NO_DATA) {
            return false;
        }
        if (!odbc::succeeded(code)) {
            throw_statement_error(statement_, "Error while retrieving data from column " +
                                                  column_text(column) + ": ");
        }
        return true;
    }

    SQLHSTMT statement_;
    std::vector<ColumnBuffer> columns_;
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
    BoundColumns bound(statement, columns);
    // fetch_checked marks every wait for the database for bounded waiting and
    // reports a failed fetch with the driver's diagnostics.
    while (query.fetch_checked()) {
        bound.append_row(rows.emplace_back());
    }
    return rows;
}

}  // namespace zel::sql::detail
