#ifndef ZEL_SQL_PYTHON_TYPED_ROWS_H_
#define ZEL_SQL_PYTHON_TYPED_ROWS_H_

// The rows of Database.query() and of a DB API cursor: a list of tuples of
// Python values by each column's SQL type, as pyodbc gives them. The
// statement runs and its rows are read whole under the Database's wait limit
// with the GIL released, into compact chunks (typed_fetch.h); the chunks are
// then turned into tuples with the GIL held, each dropped once it is turned.

#include <pybind11/pybind11.h>
#include <sql.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "database.h"
#include "parameters.h"
#include "typed_fetch.h"

namespace zel::python {

/// What the driver declares of one result column (SQLDescribeCol).
struct ResultColumn {
    std::string name;
    SQLSMALLINT sql_type = 0;
    SQLULEN size = 0;
    SQLSMALLINT decimal_digits = 0;
    SQLSMALLINT nullable = SQL_NULLABLE_UNKNOWN;
};

/// A chunk ends after this many rows or this many bytes of values, whichever
/// comes first: large enough that the GIL changes hands rarely, small enough
/// that the buffers stay small beside the Python objects made of them.
constexpr std::size_t chunk_rows = 1024;
constexpr std::size_t chunk_bytes = 256 * 1024;

/// The result columns of the executed `query`, which has `count` of them.
/// @throws zel::sql::DatabaseError when one cannot be described.
std::vector<ResultColumn> describe_columns(sql::Query& query, std::size_t count);

/// The rows a statement without a result set changed; -1 when unknown.
long long changed_rows(sql::Query& query);

/// Turns rows of chunks into tuples of Python values, the same for every
/// chunk of one result: it shares the objects of values repeated in a column
/// between rows. Made, used and destroyed with the GIL held.
class RowConverter {
public:
    explicit RowConverter(std::size_t columns);
    RowConverter(RowConverter&&) noexcept;
    RowConverter& operator=(RowConverter&&) noexcept;
    ~RowConverter();

    /// Appends rows [begin, end) of `chunk` to `rows`, one tuple each.
    void append(const RowChunk& chunk, std::size_t begin, std::size_t end, pybind11::list& rows);

private:
    struct Columns;
    std::unique_ptr<Columns> columns_;
};

/// One statement executed and read whole, not yet turned into Python values.
struct StatementResult {
    /// Empty for a statement without a result set.
    std::vector<ResultColumn> columns;
    std::vector<RowChunk> chunks;
    /// The rows read for a result set; else what SQLRowCount tells of the
    /// rows changed, -1 when the driver does not know.
    long long row_count = -1;
};

/// Runs `sql` with `parameters` once on `database` and reads its result
/// whole, under the wait limit. Needs the GIL only to be let go of.
/// @throws ValueError for an `sql` with a NUL, before anything is sent;
/// zel::sql::DatabaseError with SQLSTATE "HYT00" when an answer is overdue,
/// or as the driver refuses the statement.
StatementResult run_statement(LockedDatabase& database, const std::string& sql,
                              const BoundParameters& parameters);

/// The rows of `result` as a list of tuples: int, float, decimal.Decimal,
/// str, bytes, datetime.date, datetime.time, datetime.datetime or bool by
/// the column's type, None for NULL. Empties `result`'s chunks as it goes.
/// Needs the GIL.
pybind11::list to_python_rows(StatementResult& result);

/// Every row of `sql` with `parameters` on `database`: run_statement() then
/// to_python_rows(). A statement without a result set is executed and gives
/// [].
pybind11::list query_typed_rows(LockedDatabase& database, const std::string& sql,
                                const BoundParameters& parameters);

}  // namespace zel::python

#endif  // ZEL_SQL_PYTHON_TYPED_ROWS_H_
