#ifndef ZEL_SQL_PYTHON_NUMPY_QUERY_H_
#define ZEL_SQL_PYTHON_NUMPY_QUERY_H_

// Database.query_numpy: every row of a statement as one NumPy array per
// column, fetched through bound column arrays.
//
// Integer columns become int64 arrays, or float64 with NaN for NULL when the
// column holds a NULL; the other numeric columns (REAL, FLOAT, DOUBLE,
// DECIMAL, NUMERIC) float64 with NaN for NULL; every other column an object
// array of str (binary columns: bytes), None for NULL. No value is cut or
// made up: an integer that float64 cannot hold exactly beside a NULL is an
// error too.
//
// The rows are read without the GIL into compact buffers (numpy_columns.h);
// the arrays are made from them afterwards, the numbers without a copy.

#include <pybind11/pybind11.h>

#include "database.h"

namespace zel::python {

/// Adds query_numpy() to zel_sql.Database.
void bind_query_numpy(pybind11::class_<LockedDatabase>& database);

}  // namespace zel::python

#endif  // ZEL_SQL_PYTHON_NUMPY_QUERY_H_
