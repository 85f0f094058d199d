#ifndef ZEL_SQL_PYTHON_ERRORS_H_
#define ZEL_SQL_PYTHON_ERRORS_H_

#include <pybind11/pybind11.h>

namespace zel::python {

/// Adds the exception classes Error (for every zel::Error) and DatabaseError
/// to `module` and translates the library's exceptions into them; an invalid
/// regular expression becomes Python's re.error.
void bind_errors(pybind11::module_& module);

}  // namespace zel::python

#endif  // ZEL_SQL_PYTHON_ERRORS_H_
