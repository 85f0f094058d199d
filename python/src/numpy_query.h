#ifndef ZEL_SQL_PYTHON_NUMPY_QUERY_H_
#define ZEL_SQL_PYTHON_NUMPY_QUERY_H_

// Database.query_numpy: every row of a statement as one NumPy array per
// column, fetched through bound column arrays.
//
// Integer columns become int64 arrays, or float64 with NaN for NULL when the
// column holds a NULL; the other numeric columns (REAL, FLOAT, DOUBLE,
// DECIMAL, NUMERIC) float64 with NaN for NULL; every other column an object
// array of str (binary columns: bytes), None for NULL. No value is cut or
// made up: numbers are read as the driver's texts and parsed here, and a text
// that is not a number of its column's kind, an integer beyond int64 (or, beside
// a NULL, beyond what float64 holds exactly), a number beyond float64, a
// warning of the driver other than a cut text, or a cut text that cannot be
// read again whole is an error.
//
// How rows are fetched: through the library's column reader
// (src/odbc/column_reader.h). Every column is bound to a buffer except texts
// of unknown or large declared size, which are read with SQLGetData. A result
// of numbers alone is fetched many rows at a time (a rowset of about 1 MiB of
// buffers); a number longer than its buffer is an error there. A result with
// a text or binary column is fetched in row arrays only where the driver can
// read a value longer than its buffer again in its own row (a text can be
// longer than its column's declared size: SQLite never checks it, PostgreSQL
// describes a VARCHAR without length as 255 characters); otherwise one row at
// a time.
//
// The read runs without the GIL into compact buffers; the arrays are made
// from them afterwards, the numbers without a copy.

#include <pybind11/pybind11.h>

#include "database.h"

namespace zel::python {

/// Adds query_numpy() to zel_sql.Database.
void bind_query_numpy(pybind11::class_<LockedDatabase>& database);

}  // namespace zel::python

#endif  // ZEL_SQL_PYTHON_NUMPY_QUERY_H_
