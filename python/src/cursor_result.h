#ifndef ZEL_SQL_PYTHON_CURSOR_RESULT_H_
#define ZEL_SQL_PYTHON_CURSOR_RESULT_H_

#include <pybind11/pybind11.h>

#include "database.h"

namespace zel::python {

/// Adds the private class zel_sql._Result, the result of a DB API cursor's
/// statement read in steps (result_stream.h) and handed out as rows of
/// Python values, and Database._execute, which makes one, to `module` and
/// `database`.
void bind_cursor_results(pybind11::module_& module, pybind11::class_<LockedDatabase>& database);

}  // namespace zel::python

#endif  // ZEL_SQL_PYTHON_CURSOR_RESULT_H_
