#ifndef ZEL_SQL_ODBC_COLUMN_READER_H_
#define ZEL_SQL_ODBC_COLUMN_READER_H_

// The one place where the library's readers bind result columns and read
// values with SQLGetData: the text rows of the query cache, the Python typed
// rows and NumPy columns, and the chunked reads of StatementHandle behind
// Query::get_column_as_string and Query::get_column_as_binary. Internal: not
// installed. The Python module, the benchmarks and the integration tests
// compile this same file, with odbc_rules.cpp, into themselves.
//
// It owns:
// - the width of a bound buffer for a column of a declared size, and the
//   limit above which a column is read with SQLGetData instead;
// - binding, row arrays and their undoing;
// - the status rule of a fetched row and the error for a failed one;
// - the completion of a value cut by its buffer, checked against the length
//   the fetch announced;
// - the whole-value read, which keeps a NUL inside a value;
// - the table of what each driver can do, by SQLGetInfo and by driver name.

#include <sql.h>
#include <sqlext.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "util/internal_api.h"
#include "zel/sql/Query.h"

namespace zel::sql::odbc {

// --- widths ------------------------------------------------------------------

/// A column is bound only when one of its values fits in this many bytes; a
/// column of unknown or larger declared size is read with SQLGetData alone,
/// since drivers differ in what SQLGetData gives for a bound column's cut
/// value.
constexpr SQLLEN max_bound_width = 4096;

/// Bytes for one value, as text (SQL_C_CHAR), of a column that holds up to
/// `characters` characters: four bytes per character in UTF-8, room for a
/// sign, a decimal point and an exponent, and the terminating NUL, at least
/// 32. 0: not bound.
ZEL_SQL_INTERNAL_API SQLLEN text_width(SQLULEN characters) noexcept;

/// Bytes for one value, as bytes (SQL_C_BINARY), of a column of `bytes`
/// declared bytes, at least 16. 0: not bound.
ZEL_SQL_INTERNAL_API SQLLEN binary_width(SQLULEN bytes) noexcept;

/// Bytes for one number written as text, of a column of `precision` declared
/// digits (0: unknown): at least 64, which every int64 and every double
/// written out shortest fit.
ZEL_SQL_INTERNAL_API SQLLEN number_text_width(SQLULEN precision) noexcept;

// --- drivers -------------------------------------------------------------------

/// What the driver behind a connection can do, as far as the readers care.
struct DriverCapabilities {
    /// In a rowset of several rows, SQLGetData after SQLSetPos(row,
    /// SQL_POSITION) reads that row, and the next fetch goes on after the
    /// rowset: a cut value can be completed in its own row.
    bool completes_in_rowsets = false;
};

/// Asks the driver behind `connection` (SQL_GETDATA_EXTENSIONS, SQLSetPos,
/// SQL_DRIVER_NAME) and applies the table of known driver quirks. A driver
/// that cannot be asked can do nothing beyond one row per fetch.
ZEL_SQL_INTERNAL_API DriverCapabilities driver_capabilities(SQLHDBC connection);

/// The driver quirk known for a driver whose SQL_DRIVER_NAME is `name`, or
/// nullptr: the table, for the tests that check each entry on its driver.
struct DriverQuirk {
    /// A part of SQL_DRIVER_NAME, such as "maodbc".
    std::string_view name_part;
    /// What goes wrong when a cut value is completed inside a rowset.
    std::string_view rowset_completion_fault;
};
ZEL_SQL_INTERNAL_API const DriverQuirk* driver_quirk(std::string_view driver_name) noexcept;

// --- single values -------------------------------------------------------------

/// Appends the value of `column` (1-based) in the current row of `statement`,
/// read as `c_type` (SQL_C_CHAR or SQL_C_BINARY), to `out`, whole: a NUL
/// inside it is kept. A first piece of 1 KiB on the stack holds most values;
/// when the driver tells the length, the rest comes in one more call, and
/// when it does not (SQL_NO_TOTAL), in growing pieces. Returns false for NULL,
/// leaving `out` as it was.
/// @throws zel::sql::DatabaseError "Error while retrieving data from column
/// <n>: <diagnostics>" when a call fails; `out` then keeps what was read
/// before.
ZEL_SQL_INTERNAL_API bool append_whole_value(SQLHSTMT statement, int column, SQLSMALLINT c_type,
                                             std::string& out);

/// The chunked character read of StatementHandle::get_data_as_string: pieces
/// of a 1,024-byte buffer, each kept up to its first NUL, until SQL_NO_DATA.
/// @throws zel::Error "Error while retrieving data from column <n>" (no
/// diagnostics) when a call fails.
ZEL_SQL_INTERNAL_API std::string read_chunked_text(SQLHSTMT statement, int column, bool* was_null);

/// The chunked binary read of StatementHandle::get_data_as_binary: the
/// driver writes pieces of 4,096 bytes straight into the result, until
/// SQL_NO_DATA.
/// @throws zel::sql::DatabaseError "Error while retrieving data from column
/// <n>: <diagnostics>" when a call fails.
ZEL_SQL_INTERNAL_API std::vector<unsigned char> read_chunked_binary(SQLHSTMT statement, int column,
                                                                    bool* was_null);

// --- fetching bound rows ---------------------------------------------------

/// What the driver declares of a result column.
struct ColumnDescription {
    SQLSMALLINT sql_type = 0;
    /// Characters, digits or bytes, by type; 0 when unknown.
    SQLULEN size = 0;
};

/// Column `column` (1-based) of the executed `query`, as SQLDescribeCol
/// gives it.
/// @throws zel::sql::DatabaseError "Unable to describe column <n>:
/// <diagnostics>".
ZEL_SQL_INTERNAL_API ColumnDescription describe_column(Query& query, int column);

/// How one result column is read.
struct ColumnPlan {
    /// The C type of the bound buffer, and of SQLGetData for the column.
    SQLSMALLINT c_type = SQL_C_CHAR;
    /// Bytes of one bound value; 0: not bound, read with SQLGetData.
    SQLLEN width = 0;
    /// A value of SQL_C_CHAR or SQL_C_BINARY longer than its buffer is read
    /// again whole. Where its reader takes a cut value for an error instead,
    /// the column does not keep the read to one row per fetch.
    bool completes_cut_values = true;
};

/// How large a row array may grow.
struct RowsetLimits {
    std::size_t bytes = std::size_t{256} << 10;  ///< of buffers and indicators
    std::size_t rows = 512;
};

/// What a bound value of the current row is.
enum class BoundValue {
    null,
    whole,  ///< fits its buffer: bound_bytes() is the value
    cut,    ///< longer than its buffer, or of a length the driver did not tell
};

/// Reads the rows of an executed Query through buffers bound to its columns.
///
/// Binds at construction and undoes the bindings and the row array when it
/// dies, however the read ends: the Query must never write into freed
/// buffers at a later fetch. Once the Query's connection was given up after
/// a timeout, the reader, like the Query, makes no ODBC call when it dies
/// (connection_state.h). When every column is bound, rows come in row
/// arrays (SQL_ATTR_ROW_ARRAY_SIZE) if no column may need completing, or the
/// driver can complete a cut value in its row (driver_capabilities());
/// otherwise one row per fetch.
///
/// Fetches go through Query::fetch_checked(), which marks each wait for
/// bounded waiting. A failed fetch, or a row of the rowset whose status is
/// not success, is the DatabaseError "Fetch failed: <diagnostics> (<SQL>)".
class ZEL_SQL_INTERNAL_API ColumnReader {
public:
    /// `query` must have no bound columns of its own; one plan per result
    /// column.
    /// @throws zel::sql::DatabaseError when a column cannot be bound.
    ColumnReader(Query& query, std::vector<ColumnPlan> plans, RowsetLimits limits = {});
    ColumnReader(const ColumnReader&) = delete;
    ColumnReader& operator=(const ColumnReader&) = delete;
    ~ColumnReader();

    /// Rows per fetch: 1, or the size of the row array.
    std::size_t rows_per_fetch() const noexcept { return rowset_rows_; }

    /// The fetches that brought rows so far: a reader that looks at a
    /// fetch's warnings does so when this grew in next_row().
    std::size_t fetches() const noexcept { return fetches_; }

    /// Moves to the next row, fetching the next rowset when the current one
    /// is used up. False at the end of the rows.
    /// @throws zel::sql::DatabaseError for a failed fetch or row.
    bool next_row();

    /// The value of bound column `index` (0-based) in the current row.
    BoundValue bound_value(std::size_t index) const noexcept;
    /// The bytes of a bound value; the whole value when bound_value() says
    /// whole, the buffer's bytes for a value of a fixed-size C type.
    std::string_view bound_bytes(std::size_t index) const noexcept;
    /// Whether a cut value of the current row can be read again: always with
    /// one row per fetch, in a row array where the driver allows it.
    bool can_complete() const noexcept { return rowset_rows_ == 1 || completes_in_rowsets_; }

    /// Appends the whole value of column `index` (0-based) in the current row
    /// to `out`, a NUL inside it kept: from its buffer, completed with
    /// SQLGetData when it was cut, or with SQLGetData alone for a column not
    /// bound. False for NULL, `out` unchanged. For a character or binary
    /// column only.
    /// @throws zel::sql::DatabaseError for a failed read; zel::Error when a
    /// completed value's length differs from the fetch's, or when a cut value
    /// cannot be read again in its row array.
    bool append_value(std::size_t index, std::string& out);

private:
    struct Column;

    void release() noexcept;
    void start_row_arrays(std::size_t rows);
    void check_rowset();
    void position_at_current_row();
    void complete(std::size_t index, SQLLEN bound_indicator, std::string& out);

    Query& query_;
    SQLHSTMT statement_;
    std::vector<Column> columns_;
    std::size_t rowset_rows_ = 1;
    bool completes_in_rowsets_ = false;
    SQLULEN rows_fetched_ = 0;
    std::vector<SQLUSMALLINT> statuses_;
    bool row_arrays_set_ = false;
    bool bound_ = false;
    bool finished_ = false;
    std::size_t row_ = 0;         // the current row in the rowset (0-based)
    std::size_t rows_ready_ = 0;  // rows of the rowset not yet stepped past
    std::size_t positioned_ = 0;  // the row (1-based) SQLSetPos made current; 0: none
    std::size_t fetches_ = 0;
};

}  // namespace zel::sql::odbc

#endif  // ZEL_SQL_ODBC_COLUMN_READER_H_
