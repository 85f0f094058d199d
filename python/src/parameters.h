#ifndef ZEL_SQL_PYTHON_PARAMETERS_H_
#define ZEL_SQL_PYTHON_PARAMETERS_H_

// Python values as bound parameters of a statement: the values travel beside
// the SQL text (SQLBindParameter), never inside it, so that a quote, a
// semicolon or a comment marker in a value stays part of the value.
//
// None, bool, int, float, decimal.Decimal, str, bytes, bytearray,
// memoryview, datetime.date, datetime.time and datetime.datetime are sent;
// anything else raises ProgrammingError naming the parameter's position
// (from 1, as the markers are counted) and its type.

#include <pybind11/pybind11.h>
#include <sql.h>
#include <sqlext.h>

#include <string>
#include <vector>

#include "odbc/parameter_arrays.h"
#include "zel/sql/Database.h"
#include "zel/sql/Query.h"

namespace zel::python {

/// The parameters of one execution, converted from Python and kept in
/// buffers of their own, so that binding and executing need no GIL.
class BoundParameters {
public:
    /// Converts the sequence `parameters` (a tuple or list, not a str or
    /// bytes) with the GIL held.
    /// @throws pybind11::type_error when `parameters` is no such sequence;
    /// zel::sql::DatabaseError with SQLSTATE "07006" (ProgrammingError in
    /// Python) for a value that cannot be sent.
    static BoundParameters from_python(const pybind11::handle& parameters);

    std::size_t size() const noexcept { return values_.size(); }

    /// Binds every value as an input parameter of `statement`. The buffers
    /// stay in this object: keep it alive, unmoved, until the statement has
    /// been executed.
    /// @throws zel::sql::DatabaseError "Unable to bind parameter <n>: ...".
    void bind(SQLHSTMT statement);

    /// One converted value: how it is bound, and its bytes.
    struct Value {
        SQLSMALLINT c_type = SQL_C_CHAR;
        SQLSMALLINT sql_type = SQL_VARCHAR;
        SQLULEN column_size = 0;
        SQLSMALLINT decimal_digits = 0;
        std::string bytes;  // text, binary and decimal values
        union {
            SQLBIGINT integer;
            double real;
            unsigned char bit;
            SQL_DATE_STRUCT date;
            SQL_TIME_STRUCT time;
            SQL_TIMESTAMP_STRUCT timestamp;
        } fixed{};
        SQLLEN indicator = 0;
    };

    const std::vector<Value>& values() const noexcept { return values_; }
    std::vector<Value>& values() noexcept { return values_; }

private:
    std::vector<Value> values_;
};

/// Prepares `sql` on `database` (connecting as send_query() does), checks
/// that it has as many markers as `parameters` has values, binds them and
/// executes it. Runs without the GIL.
/// @throws zel::sql::DatabaseError "07001" (ProgrammingError) for a wrong
/// number of parameters; as send_query() does for the statement.
sql::Query execute_with_parameters(sql::Database& database, const std::string& sql,
                                   BoundParameters& parameters);

/// The parameter sequences of one executemany, converted from Python and
/// laid out as the parameter arrays that carry them: per batch of up to
/// sql::detail::parameter_batch_rows sequences, one column of values per
/// marker. Held so, 100,000 rows take about the bytes of their values
/// rather than an object per value.
struct ParameterRows {
    struct Batch {
        std::size_t first = 0;  ///< its first sequence, counted from 0
        std::size_t rows = 0;
        std::vector<sql::detail::ParameterColumn> columns;
    };
    std::size_t count = 0;       ///< the sequences converted
    std::size_t width = 0;       ///< the values of the first
    std::size_t uniform = 0;     ///< the sequences from the first that have `width` values
    std::size_t odd_width = 0;   ///< the values of sequence `uniform` when uniform < count
    std::vector<Batch> batches;  ///< the first `uniform` sequences

    /// Converts every sequence of `sequences` with the GIL held, in order.
    /// Every value of a marker gets one C type, the type of its first value
    /// that is not None (an int where the others are floats is sent as a
    /// float): executemany binds one type per marker.
    /// @throws as BoundParameters::from_python() for a sequence or value
    /// that cannot be sent; zel::sql::DatabaseError with SQLSTATE "07006"
    /// (ProgrammingError) naming the row (from 1), the position and both
    /// types for a value of another type. The first row in order that is
    /// wrong is named.
    static ParameterRows from_python(const pybind11::iterable& sequences);
};

/// Prepares `sql` on `database` once and executes it for each of `rows`, in
/// order: in batches of parameter arrays where the driver takes them, else
/// once per row, bound from its batch's columns. Stops at the first row that
/// fails; the rows before a row with a wrong number of values are sent.
/// Runs without the GIL. Returns the sum of the rows changed, -1 when the
/// driver did not tell.
/// @throws as execute_with_parameters(), with "Row <n>: " before the
/// message of the row that failed.
long long execute_many(sql::Database& database, const std::string& sql, ParameterRows& rows);

/// `sql` executed on `database`: sent as it is (Database::send_query) when
/// `parameters` is empty, else through execute_with_parameters(). Runs
/// without the GIL.
sql::Query execute_statement(sql::Database& database, const std::string& sql,
                             BoundParameters& parameters);

}  // namespace zel::python

#endif  // ZEL_SQL_PYTHON_PARAMETERS_H_
