#ifndef ZEL_SQL_PYTHON_QUERY_RESULT_H_
#define ZEL_SQL_PYTHON_QUERY_RESULT_H_

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

#include "zel/sql/QueryResult.h"

namespace zel::python {

/// Rows of text values as Python sees them: a list of tuples of str, None for
/// NULL.
pybind11::list rows_to_python(const std::vector<std::vector<std::optional<std::string>>>& rows);

/// A zel_sql.QueryResult, its values converted once, when it is made.
struct PythonQueryResult {
    pybind11::list columns;
    pybind11::list rows;
    bool from_cache = false;
    pybind11::str message;
    pybind11::object stored_at;
    pybind11::str served_by;
};

/// The Python view of `result`; needs the GIL.
PythonQueryResult to_python(const sql::QueryResult& result);

/// Adds zel_sql.QueryResult to `module`.
void bind_query_result(pybind11::module_& module);

}  // namespace zel::python

#endif  // ZEL_SQL_PYTHON_QUERY_RESULT_H_
