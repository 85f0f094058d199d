#ifndef ZEL_SQL_PYTHON_NUMPY_COLUMNS_H_
#define ZEL_SQL_PYTHON_NUMPY_COLUMNS_H_

// The read behind Database.query_numpy, without Python: every row of an
// executed statement into compact column buffers, through the library's
// column reader (src/odbc/column_reader.h). numpy_query.cpp turns the
// buffers into arrays.
//
// Integer columns and the other numeric columns (REAL, FLOAT, DOUBLE,
// DECIMAL, NUMERIC) are read as the driver's texts and parsed here; every
// other column as text (binary columns: bytes). A date, time or timestamp
// that Python's datetime types cannot hold (temporal_text.h), a text that is
// not a number of its column's kind, a number beyond int64 or float64, or a warning of the
// driver other than a cut text is an error: no value is cut or made up.
//
// Rows are fetched in row arrays (about 1 MiB of buffers) when every column
// is a number, whatever the driver: a number longer than its buffer is an
// error there. A result with a text or binary column comes in row arrays only
// where the driver can read a value longer than its buffer again in its own
// row; otherwise one row per fetch.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "temporal_text.h"

#include "zel/sql/Query.h"

namespace zel::python::numpy_columns {

enum class Kind { integer, real, text, binary };

struct Column {
    std::string name;
    Kind kind = Kind::text;
    SQLLEN width = 0;  // bytes of one bound value; 0: read with SQLGetData
    // For a date, time or timestamp column (kind text): its values are
    // checked to be ones Python's datetime types hold.
    std::optional<TemporalKind> temporal;

    // What was read, compact: numbers in `numbers` (int64 or double bits),
    // texts one after another in `bytes` with `ends` the end of each.
    std::vector<std::int64_t> numbers;
    std::vector<char> nulls;  // one per row
    bool has_null = false;
    std::string bytes;
    std::vector<std::size_t> ends;
};

/// Every column of a result, all with the same number of rows.
struct ReadResult {
    std::vector<Column> columns;
    std::size_t rows = 0;
};

/// "Column <n> (\"<name>\")", for messages about column `index` (0-based).
std::string column_text(std::size_t index, const Column& column);

/// Every row of the executed `query`, which must have no bound columns.
/// Nothing for a statement without a result set.
/// @throws zel::sql::DatabaseError for a failed describe, bind, fetch or
/// read, and for a warning of a fetch other than a cut text; zel::Error for
/// two columns of the same name and for a value that is not a number of its
/// column's kind or does not fit int64 or float64; UnrepresentableValue for
/// a date or time that Python cannot hold.
ReadResult read_columns(sql::Query& query);

}  // namespace zel::python::numpy_columns

#endif  // ZEL_SQL_PYTHON_NUMPY_COLUMNS_H_
