#ifndef ZEL_SQL_PYTHON_ERRORS_H_
#define ZEL_SQL_PYTHON_ERRORS_H_

#include <pybind11/pybind11.h>

#include <string>

namespace zel::python {

/// Adds the exception classes Error (for every zel::Error) and DatabaseError
/// to `module` and translates the library's exceptions into them; an invalid
/// regular expression becomes Python's re.error.
void bind_errors(pybind11::module_& module);

/// The DatabaseError class for `sqlstate`: DataError, OperationalError,
/// IntegrityError, InternalError, ProgrammingError, NotSupportedError, or
/// DatabaseError itself when the table names none. A borrowed reference,
/// valid after bind_errors().
PyObject* database_error_class_for(const std::string& sqlstate);

}  // namespace zel::python

#endif  // ZEL_SQL_PYTHON_ERRORS_H_
