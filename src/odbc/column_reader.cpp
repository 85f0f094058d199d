#include "odbc/column_reader.h"

#include <algorithm>
#include <utility>

#include "odbc/odbc_rules.h"
#include "odbc/query_statement.h"
#include "zel/Error.h"

namespace zel::sql::odbc {
namespace {

template <typename Number>
std::string number_text(Number number) {
    return std::to_string(number);
}

// ODBC takes column numbers as 16-bit unsigned values; the low 16 bits of
// the int are kept.
SQLUSMALLINT to_odbc_number(int number) noexcept {
    return static_cast<SQLUSMALLINT>(number);
}

// Drivers whose word about themselves is not enough. Each entry is checked
// on its driver by the integration tests (docs/driver_notes.md tells what
// was found).
constexpr DriverQuirk driver_quirks[] = {
    // MariaDB Connector/ODBC 3.1 reports SQL_GD_BLOCK and SQLSetPos.
    {"maodbc",
     "SQLGetData after SQLSetPos reads the rowset's first row, and the next fetch skips rows"},
    // sqliteodbc does not report SQL_GD_BLOCK; should a version start to,
    // what it does in a rowset is still wrong.
    {"sqlite", "SQLGetData after SQLSetPos reads another row of the rowset"},
};

// Variable-length values, which a buffer can cut.
bool may_be_cut(SQLSMALLINT c_type) noexcept {
    return c_type == SQL_C_CHAR || c_type == SQL_C_BINARY;
}

// Text pieces end in a NUL that is not part of the value; binary ones do not.
SQLLEN terminator_of(SQLSMALLINT c_type) noexcept {
    return c_type == SQL_C_CHAR ? 1 : 0;
}

constexpr SQLLEN first_piece = 1024;

// One SQLGetData; false for SQL_NO_DATA (nothing left).
bool get_piece(SQLHSTMT statement, int column, SQLSMALLINT c_type, char* buffer, SQLLEN length,
               SQLLEN& indicator) {
    const SQLRETURN code =
        SQLGetData(statement, to_odbc_number(column), c_type, buffer, length, &indicator);
    if (code == SQL_NO_DATA) {
        return false;
    }
    if (!succeeded(code)) {
        throw_statement_error(
            statement, "Error while retrieving data from column " + number_text(column) + ": ");
    }
    return true;
}

}  // namespace

// --- widths ------------------------------------------------------------------

SQLLEN text_width(SQLULEN characters) noexcept {
    if (characters == 0 || characters > static_cast<SQLULEN>((max_bound_width - 16) / 4)) {
        return 0;
    }
    return std::max<SQLLEN>(32, static_cast<SQLLEN>(characters) * 4 + 16);
}

SQLLEN binary_width(SQLULEN bytes) noexcept {
    if (bytes == 0 || bytes > static_cast<SQLULEN>(max_bound_width)) {
        return 0;
    }
    return std::max<SQLLEN>(16, static_cast<SQLLEN>(bytes));
}

SQLLEN number_text_width(SQLULEN precision) noexcept {
    if (precision == 0 || precision > static_cast<SQLULEN>(max_bound_width - 16)) {
        return 64;
    }
    return std::max<SQLLEN>(64, static_cast<SQLLEN>(precision) + 16);
}

// --- drivers -------------------------------------------------------------------

const DriverQuirk* driver_quirk(std::string_view driver_name) noexcept {
    for (const DriverQuirk& quirk : driver_quirks) {
        if (driver_name.find(quirk.name_part) != std::string_view::npos) {
            return &quirk;
        }
    }
    return nullptr;
}

DriverCapabilities driver_capabilities(SQLHDBC connection) {
    DriverCapabilities capabilities;
    if (connection == SQL_NULL_HDBC) {
        return capabilities;
    }
    SQLUINTEGER extensions = 0;
    if (!succeeded(SQLGetInfo(connection, SQL_GETDATA_EXTENSIONS, &extensions, sizeof(extensions),
                              nullptr)) ||
        (extensions & SQL_GD_BLOCK) == 0) {
        return capabilities;
    }
    SQLUSMALLINT set_pos = SQL_FALSE;
    if (!succeeded(SQLGetFunctions(connection, SQL_API_SQLSETPOS, &set_pos)) ||
        set_pos != SQL_TRUE) {
        return capabilities;
    }
    char name[128] = {};
    SQLSMALLINT length = 0;
    if (!succeeded(SQLGetInfo(connection, SQL_DRIVER_NAME, name,
                              static_cast<SQLSMALLINT>(sizeof(name)), &length))) {
        return capabilities;
    }
    name[sizeof(name) - 1] = '\0';
    capabilities.completes_in_rowsets = driver_quirk(name) == nullptr;
    return capabilities;
}

// --- single values -------------------------------------------------------------

bool append_whole_value(SQLHSTMT statement, int column, SQLSMALLINT c_type, std::string& out) {
    const SQLLEN terminator = terminator_of(c_type);
    char first[first_piece];
    SQLLEN indicator = 0;
    if (!get_piece(statement, column, c_type, first, first_piece, indicator)) {
        return true;  // SQL_NO_DATA at once: an empty value
    }
    if (indicator == SQL_NULL_DATA) {
        return false;
    }
    if (indicator != SQL_NO_TOTAL && indicator >= 0 && indicator + terminator <= first_piece) {
        out.append(first, static_cast<std::size_t>(indicator));
        return true;
    }
    const std::size_t start = out.size();
    out.append(first, static_cast<std::size_t>(first_piece - terminator));
    SQLLEN piece = first_piece;
    for (;;) {
        // The piece was full; the indicator told what was left before it.
        piece = indicator >= 0
                    ? indicator - (piece - terminator) + terminator
                    : std::max<SQLLEN>(static_cast<SQLLEN>(out.size() - start), 64 * 1024);
        const std::size_t kept = out.size();
        out.resize(kept + static_cast<std::size_t>(piece));
        if (!get_piece(statement, column, c_type, out.data() + kept, piece, indicator) ||
            indicator == SQL_NULL_DATA) {
            out.resize(kept);
            return true;
        }
        if (indicator >= 0 && indicator + terminator <= piece) {
            out.resize(kept + static_cast<std::size_t>(indicator));
            return true;
        }
        out.resize(kept + static_cast<std::size_t>(piece - terminator));
    }
}

std::string read_chunked_text(SQLHSTMT statement, int column, bool* was_null) {
    std::string str;
    if (was_null != nullptr) {
        *was_null = false;
    }
    char buf[1024];
    constexpr SQLLEN buf_len = sizeof(buf);
    for (;;) {
        SQLLEN data_len_or_indicator = 0;
        const SQLRETURN code = SQLGetData(statement, to_odbc_number(column), SQL_C_CHAR, buf,
                                          buf_len, &data_len_or_indicator);
        if (succeeded(code)) {
            if (data_len_or_indicator == SQL_NULL_DATA) {
                if (was_null != nullptr) {
                    *was_null = true;
                }
                return str;
            }
            // The driver terminates every piece; the reported length is that of
            // the whole remainder, so the piece ends at its first NUL.
            buf[buf_len - 1] = '\0';
            str.append(buf);
        } else if (code == SQL_NO_DATA) {
            return str;
        } else {
            throw Error("Error while retrieving data from column " + number_text(column));
        }
    }
}

std::vector<unsigned char> read_chunked_binary(SQLHSTMT statement, int column, bool* was_null) {
    constexpr std::size_t chunk_len = 4096;
    std::vector<unsigned char> blob;
    std::size_t good_data_len = 0;
    if (was_null != nullptr) {
        *was_null = false;
    }
    for (;;) {
        blob.resize(good_data_len + chunk_len);
        SQLLEN data_len_or_indicator = 0;
        const SQLRETURN code =
            SQLGetData(statement, to_odbc_number(column), SQL_C_BINARY, blob.data() + good_data_len,
                       static_cast<SQLLEN>(chunk_len), &data_len_or_indicator);
        if (succeeded(code)) {
            if (data_len_or_indicator == SQL_NULL_DATA) {
                if (was_null != nullptr) {
                    *was_null = true;
                }
                break;
            }
            if (data_len_or_indicator == SQL_NO_TOTAL ||
                data_len_or_indicator > static_cast<SQLLEN>(chunk_len)) {
                good_data_len += chunk_len;
            } else {
                good_data_len += static_cast<std::size_t>(data_len_or_indicator);
            }
        } else if (code == SQL_NO_DATA) {
            break;
        } else {
            throw_statement_error(
                statement, "Error while retrieving data from column " + number_text(column) + ": ");
        }
    }
    blob.resize(good_data_len);
    return blob;
}

// --- fetching bound rows ---------------------------------------------------

ColumnDescription describe_column(Query& query, int column) {
    const SQLHSTMT statement = detail::QueryStatementAccess::handle(query);
    ColumnDescription description;
    if (!succeeded(SQLDescribeCol(statement, to_odbc_number(column), nullptr, 0, nullptr,
                                  &description.sql_type, &description.size, nullptr, nullptr))) {
        throw_statement_error(statement, "Unable to describe column " + number_text(column) + ": ");
    }
    return description;
}

struct ColumnReader::Column {
    ColumnPlan plan;
    std::vector<char> bytes;         // one value of `plan.width` bytes per row of the rowset
    std::vector<SQLLEN> indicators;  // one per row of the rowset
};

ColumnReader::ColumnReader(Query& query, std::vector<ColumnPlan> plans, RowsetLimits limits)
    : query_(query), statement_(detail::QueryStatementAccess::handle(query)) {
    columns_.resize(plans.size());
    std::size_t row_bytes = 0;
    bool all_bound = !plans.empty();
    bool needs_completion = false;
    for (std::size_t i = 0; i < plans.size(); ++i) {
        const ColumnPlan& plan = plans[i];
        columns_[i].plan = plan;
        all_bound = all_bound && plan.width > 0;
        needs_completion =
            needs_completion || (plan.completes_cut_values && may_be_cut(plan.c_type));
        row_bytes += static_cast<std::size_t>(plan.width) + sizeof(SQLLEN);
    }
    try {
        if (all_bound && row_bytes * 2 <= limits.bytes) {
            if (needs_completion) {
                completes_in_rowsets_ =
                    driver_capabilities(detail::QueryStatementAccess::connection(query))
                        .completes_in_rowsets;
            }
            if (completes_in_rowsets_ || !needs_completion) {
                start_row_arrays(std::min(limits.rows, limits.bytes / row_bytes));
            }
        }
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            Column& column = columns_[i];
            if (column.plan.width == 0) {
                continue;
            }
            column.bytes.resize(static_cast<std::size_t>(column.plan.width) * rowset_rows_);
            column.indicators.resize(rowset_rows_);
            bound_ = true;
            if (!succeeded(SQLBindCol(statement_, to_odbc_number(static_cast<int>(i + 1)),
                                      column.plan.c_type, column.bytes.data(), column.plan.width,
                                      column.indicators.data()))) {
                throw_statement_error(statement_,
                                      "Unable to bind to column " + number_text(i + 1) + ": ");
            }
        }
    } catch (...) {
        release();
        throw;
    }
}

ColumnReader::~ColumnReader() {
    release();
}

void ColumnReader::release() noexcept {
    if (detail::is_inert(detail::QueryStatementAccess::state(query_))) {
        // The helper that owns the given-up connection frees the statement
        // with it, maybe already: its bindings are not ours to undo.
        bound_ = false;
        rowset_rows_ = 1;
        row_arrays_set_ = false;
        return;
    }
    if (bound_) {
        SQLFreeStmt(statement_, SQL_UNBIND);
        bound_ = false;
    }
    if (rowset_rows_ > 1) {
        SQLSetStmtAttr(statement_, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(1), 0);
        rowset_rows_ = 1;
    }
    if (row_arrays_set_) {
        SQLSetStmtAttr(statement_, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0);
        SQLSetStmtAttr(statement_, SQL_ATTR_ROW_STATUS_PTR, nullptr, 0);
        row_arrays_set_ = false;
    }
}

// Row arrays of `rows` rows, when the driver takes that size as it is;
// otherwise one row per fetch.
void ColumnReader::start_row_arrays(std::size_t rows) {
    if (rows < 2) {
        return;
    }
    statuses_.resize(rows);
    row_arrays_set_ = true;
    if (!succeeded(SQLSetStmtAttr(statement_, SQL_ATTR_ROWS_FETCHED_PTR, &rows_fetched_, 0)) ||
        !succeeded(SQLSetStmtAttr(statement_, SQL_ATTR_ROW_STATUS_PTR, statuses_.data(), 0))) {
        return;
    }
    // SQL_SUCCESS_WITH_INFO (01S02) means the driver chose another size.
    const SQLRETURN code =
        SQLSetStmtAttr(statement_, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(rows), 0);
    if (code == SQL_SUCCESS) {
        rowset_rows_ = rows;
    } else if (succeeded(code)) {
        SQLSetStmtAttr(statement_, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(1), 0);
    }
}

bool ColumnReader::next_row() {
    if (rows_ready_ > 1) {
        --rows_ready_;
        ++row_;
        return true;
    }
    rows_ready_ = 0;
    while (!finished_) {
        // fetch_checked marks every wait for the database for bounded waiting
        // and reports a failed fetch with the driver's diagnostics.
        if (!query_.fetch_checked()) {
            finished_ = true;
            break;
        }
        ++fetches_;
        row_ = 0;
        positioned_ = 0;
        if (rowset_rows_ == 1) {
            rows_ready_ = 1;
            return true;
        }
        check_rowset();
        if (rows_fetched_ > 0) {
            rows_ready_ = static_cast<std::size_t>(rows_fetched_);
            return true;
        }
    }
    return false;
}

// A row that failed inside a rowset is reported through its status only: it
// fails the read as a failed fetch would.
void ColumnReader::check_rowset() {
    if (rows_fetched_ > rowset_rows_) {
        throw Error("The driver fetched " + number_text(rows_fetched_) +
                    " rows into a row array of " + number_text(rowset_rows_));
    }
    for (std::size_t row = 0; row < rows_fetched_; ++row) {
        const SQLUSMALLINT status = statuses_[row];
        if (status == SQL_ROW_SUCCESS || status == SQL_ROW_SUCCESS_WITH_INFO) {
            continue;
        }
        const Diagnostics diagnostics = collect_diagnostics(SQL_HANDLE_STMT, statement_);
        const std::string what = diagnostics.text.empty()
                                     ? "row " + number_text(row + 1) +
                                           " of a rowset came with status " + number_text(status)
                                     : diagnostics.text;
        throw database_error(
            "Fetch failed: " + what + " (" + detail::QueryStatementAccess::sql(query_) + ")",
            diagnostics);
    }
}

BoundValue ColumnReader::bound_value(std::size_t index) const noexcept {
    const Column& column = columns_[index];
    const SQLLEN indicator = column.indicators[row_];
    if (indicator == SQL_NULL_DATA) {
        return BoundValue::null;
    }
    if (!may_be_cut(column.plan.c_type)) {
        return BoundValue::whole;
    }
    return indicator >= 0 && indicator + terminator_of(column.plan.c_type) <= column.plan.width
               ? BoundValue::whole
               : BoundValue::cut;
}

std::string_view ColumnReader::bound_bytes(std::size_t index) const noexcept {
    const Column& column = columns_[index];
    const char* data = column.bytes.data() + row_ * static_cast<std::size_t>(column.plan.width);
    if (!may_be_cut(column.plan.c_type)) {
        return std::string_view(data, static_cast<std::size_t>(column.plan.width));
    }
    const SQLLEN indicator = column.indicators[row_];
    const SQLLEN room = column.plan.width - terminator_of(column.plan.c_type);
    return std::string_view(data, static_cast<std::size_t>(std::clamp<SQLLEN>(indicator, 0, room)));
}

bool ColumnReader::append_value(std::size_t index, std::string& out) {
    const Column& column = columns_[index];
    if (column.plan.width == 0) {
        return append_whole_value(statement_, static_cast<int>(index + 1), column.plan.c_type, out);
    }
    switch (bound_value(index)) {
        case BoundValue::null:
            return false;
        case BoundValue::whole: {
            const std::string_view bytes = bound_bytes(index);
            out.append(bytes.data(), bytes.size());
            return true;
        }
        case BoundValue::cut:
            break;
    }
    if (!can_complete()) {
        throw Error("Column " + number_text(index + 1) + " holds a value of more than " +
                    number_text(column.plan.width - terminator_of(column.plan.c_type)) +
                    " bytes, which the driver cannot read again within a row array");
    }
    position_at_current_row();
    complete(index, column.indicators[row_], out);
    return true;
}

// Makes the current row of the rowset the one SQLGetData reads. With one row
// per fetch it already is: MariaDB Connector/ODBC would fetch a positioned
// one-row rowset again.
void ColumnReader::position_at_current_row() {
    if (rowset_rows_ == 1 || positioned_ == row_ + 1) {
        return;
    }
    if (!succeeded(SQLSetPos(statement_, static_cast<SQLSETPOSIROW>(row_ + 1), SQL_POSITION,
                             SQL_LOCK_NO_CHANGE))) {
        throw_statement_error(
            statement_, "Unable to position on row " + number_text(row_ + 1) + " of a rowset: ");
    }
    positioned_ = row_ + 1;
}

// A bound value longer than its buffer, or of a length the driver did not
// tell (SQL_NO_TOTAL): read again, whole, with SQLGetData, which psqlODBC,
// sqliteodbc and MariaDB Connector/ODBC start again at the value's
// beginning. A driver that does not is caught by the length check, never
// passed off as a shorter value.
void ColumnReader::complete(std::size_t index, SQLLEN bound_indicator, std::string& out) {
    const int column = static_cast<int>(index + 1);
    const std::size_t start = out.size();
    const bool not_null = append_whole_value(statement_, column, columns_[index].plan.c_type, out);
    const std::size_t length = out.size() - start;
    if (!not_null ||
        (bound_indicator >= 0 && length != static_cast<std::size_t>(bound_indicator))) {
        out.resize(start);
        throw Error("Column " + number_text(column) + " read " +
                    (not_null ? number_text(length) + " bytes" : std::string("NULL")) +
                    " with SQLGetData where the fetch announced " +
                    (bound_indicator >= 0 ? number_text(bound_indicator) + " bytes"
                                          : std::string("more than the buffer")));
    }
}

}  // namespace zel::sql::odbc
