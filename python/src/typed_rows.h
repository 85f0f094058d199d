#ifndef ZEL_SQL_PYTHON_TYPED_ROWS_H_
#define ZEL_SQL_PYTHON_TYPED_ROWS_H_

// The rows of Database.query(): a list of tuples of Python values by each
// column's SQL type, as pyodbc gives them. The rows are read whole under the
// Database's wait limit with the GIL released, into compact chunks
// (typed_fetch.h); the chunks are then turned into tuples with the GIL held,
// each dropped once it is turned.

#include <pybind11/pybind11.h>

#include <string>

#include "database.h"

namespace zel::python {

/// Every row of `sql` on `database` as a list of tuples: int, float,
/// decimal.Decimal, str, bytes, datetime.date, datetime.time,
/// datetime.datetime or bool by the column's type, None for NULL. A
/// statement without a result set is executed and gives []. Needs the GIL;
/// lets go of it while the database works.
/// @throws ValueError for an `sql` with a NUL, before anything is sent;
/// zel::sql::DatabaseError with SQLSTATE "HYT00" when an answer is overdue.
pybind11::list query_typed_rows(LockedDatabase& database, const std::string& sql);

}  // namespace zel::python

#endif  // ZEL_SQL_PYTHON_TYPED_ROWS_H_
