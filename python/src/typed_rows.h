#ifndef ZEL_SQL_PYTHON_TYPED_ROWS_H_
#define ZEL_SQL_PYTHON_TYPED_ROWS_H_

// The rows of Database.query(): a list of tuples of Python values by each
// column's SQL type, as pyodbc gives them. The rows are fetched in chunks
// with the GIL released (typed_fetch.h); each chunk is then turned into
// tuples with the GIL held and dropped, so that the C++ buffers never hold
// more than one chunk beside the Python objects.

#include <pybind11/pybind11.h>

#include <functional>
#include <string>

#include "database.h"
#include "zel/sql/Query.h"

namespace zel::python {

/// Every row of `sql` on `database` as a list of tuples: int, float,
/// decimal.Decimal, str, bytes, datetime.date, datetime.time,
/// datetime.datetime or bool by the column's type, None for NULL. A
/// statement without a result set is executed and gives []. Needs the GIL;
/// lets go of it while the database works.
pybind11::list query_typed_rows(LockedDatabase& database, const std::string& sql);

/// Every row of the Query that `execute` returns, run on `database` without
/// the GIL, as query_typed_rows() gives them.
pybind11::list typed_rows_of(LockedDatabase& database,
                             const std::function<sql::Query(sql::Database&)>& execute);

}  // namespace zel::python

#endif  // ZEL_SQL_PYTHON_TYPED_ROWS_H_
