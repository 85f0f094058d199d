#ifndef ZEL_SQL_ODBC_TEXT_ROWS_H_
#define ZEL_SQL_ODBC_TEXT_ROWS_H_

// Reading every row of an executed statement, each value whole as text: what
// the query cache stores. Internal: not installed. The benchmarks and the
// integration tests compile this same file, with column_reader.cpp and
// odbc_rules.cpp, into themselves.
//
// Columns of a declared size up to about 1,000 characters are read through
// bound character buffers, the others with SQLGetData, through the library's
// column reader (column_reader.h): row arrays where the driver can complete a
// value in its row, values longer than their buffer read again whole, no
// value ever cut, a NUL inside a value kept. The bindings and the row array
// are undone before the function returns or throws.

#include <optional>
#include <string>
#include <vector>

#include "util/internal_api.h"
#include "zel/sql/Query.h"

namespace zel::sql::detail {

/// One row, one value per column; std::nullopt is NULL.
using TextRow = std::vector<std::optional<std::string>>;

/// The column names of `query` as the driver names them; empty for a
/// statement without a result set.
/// @throws zel::sql::DatabaseError when the driver cannot describe a column.
ZEL_SQL_INTERNAL_API std::vector<std::string> read_column_names(Query& query);

/// Fetches every remaining row of `query`, which has `columns` result columns,
/// reading each value whole as text. A fetch that fails is an error, never a
/// short result.
/// With `columns` 0 (no result set) nothing is fetched. `query` must have no
/// bound columns of its own.
/// @throws zel::sql::DatabaseError for a failed describe, bind, fetch or read;
/// zel::Error when a completed value's length differs from the fetch's.
ZEL_SQL_INTERNAL_API std::vector<TextRow> read_text_rows(Query& query, int columns);

}  // namespace zel::sql::detail

#endif  // ZEL_SQL_ODBC_TEXT_ROWS_H_
