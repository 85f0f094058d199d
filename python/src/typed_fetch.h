#ifndef ZEL_SQL_PYTHON_TYPED_FETCH_H_
#define ZEL_SQL_PYTHON_TYPED_FETCH_H_

// Reading the rows of an executed statement as typed values into compact
// column buffers, without Python: the first half of Database.query(), run
// with the GIL released. typed_rows.h turns the buffers into Python values.
//
// Each column is read in the C type of its SQL type: integers as 64-bit
// integers, REAL/FLOAT/DOUBLE as double, DECIMAL/NUMERIC and character
// columns as text, binary columns as bytes, dates and times as the driver's
// text, checked and parsed here (temporal_text.h). Columns of a fixed C size and character or
// binary columns of a small declared size are bound; the others are read with SQLGetData. The
// binding, the row arrays and the completion of a value longer than its
// buffer are those of the library's column reader (src/odbc/column_reader.h):
// no value is ever cut, and rows come in row arrays where the driver can
// complete a value in its row.

#include <sql.h>
#include <sqlext.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "odbc/column_reader.h"
#include "zel/sql/Query.h"

namespace zel::python {

/// What a column's values become in Python.
enum class ValueKind {
    integer,           ///< int, read as a signed 64-bit integer
    unsigned_integer,  ///< int, read as an unsigned 64-bit integer (BIGINT UNSIGNED)
    boolean,           ///< bool (SQL BIT)
    real,              ///< float
    decimal,           ///< decimal.Decimal, read as text
    text,              ///< str, bytes that are no UTF-8 as surrogate escapes
    binary,            ///< bytes
    date,              ///< datetime.date
    time,              ///< datetime.time
    timestamp,         ///< datetime.datetime
};

/// The values of one column for the rows of a chunk. Only the vector of the
/// column's kind is used; NULL rows hold a zero value there.
struct ColumnValues {
    ValueKind kind = ValueKind::text;
    std::vector<unsigned char> is_null;
    std::vector<std::int64_t> integers;  ///< integer, unsigned_integer (as bits), boolean
    std::vector<double> reals;
    std::vector<SQL_TIMESTAMP_STRUCT> times;  ///< date, time and timestamp alike, checked
    std::string bytes;                        ///< decimal, text, binary: all values in a row
    std::vector<std::size_t> ends;            ///< the end of each value in `bytes`

    void clear();
};

/// A run of rows, column by column.
struct RowChunk {
    std::size_t rows = 0;
    std::vector<ColumnValues> columns;
};

/// Reads the rows of one executed statement in chunks. Binds its buffers at
/// construction and undoes the bindings when it dies, however the read ends.
class TypedFetch {
public:
    /// Describes and binds the columns of `query`, which must have no bound
    /// columns of its own. A statement without a result set gives no rows.
    /// @throws zel::sql::DatabaseError when a column cannot be described or
    /// bound.
    explicit TypedFetch(sql::Query& query);
    TypedFetch(const TypedFetch&) = delete;
    TypedFetch& operator=(const TypedFetch&) = delete;
    ~TypedFetch();

    /// The number of result columns; 0 for a statement without a result set.
    std::size_t columns() const noexcept;

    /// Empties `chunk` and fills it with the next rows, up to about
    /// `max_bytes` of values or `max_rows` rows. False when no row was left.
    /// A fetch that fails is an error, never a short result.
    /// @throws zel::sql::DatabaseError for a failed fetch or read; zel::Error
    /// when a completed value's length differs from the fetch's;
    /// UnrepresentableValue for a date or time that Python cannot hold.
    bool read_chunk(RowChunk& chunk, std::size_t max_rows, std::size_t max_bytes);

private:
    void append_value(std::size_t index, ColumnValues& out);

    sql::Query* query_;  // for the names of columns in messages
    std::vector<ValueKind> kinds_;
    std::optional<sql::odbc::ColumnReader> reader_;
    std::string temporal_text_;  // the driver's text of the latest date or time
};

}  // namespace zel::python

#endif  // ZEL_SQL_PYTHON_TYPED_FETCH_H_
