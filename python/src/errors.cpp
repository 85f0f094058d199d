#include "errors.h"

#include <exception>
#include <regex>

#include "temporal_text.h"
#include "text.h"
#include "zel/Error.h"
#include "zel/sql/DatabaseError.h"

namespace py = pybind11;

namespace zel::python {
namespace {

// The exception classes live as long as the process: a static Python object
// would be released after the interpreter is gone.
PyObject* error_class = nullptr;
PyObject* database_error_class = nullptr;
// A value that Python's types cannot hold (a date beyond 9999, 24:00:00).
PyObject* unrepresentable_value_class = nullptr;

PyObject* new_exception_class(py::module_& module, const char* name, const char* doc,
                              PyObject* base) {
    const std::string qualified = std::string(PyModule_GetName(module.ptr())) + "." + name;
    PyObject* cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr);
    if (cls == nullptr) {
        throw py::error_already_set();
    }
    module.add_object(name, py::handle(cls));
    return cls;
}

void raise(PyObject* cls, const char* message) {
    PyErr_SetObject(cls, to_str(message).ptr());
}

void raise_database_error(const sql::DatabaseError& e) {
    py::object error = py::reinterpret_borrow<py::object>(database_error_class)(to_str(e.what()));
    error.attr("sqlstate") = to_str(e.get_sqlstate());
    error.attr("native_error") = e.get_native_error();
    PyErr_SetObject(database_error_class, error.ptr());
}

}  // namespace

void bind_errors(py::module_& module) {
    error_class = new_exception_class(
        module, "Error",
        "Raised for every failure that the library reports (zel::Error); str() of it is the "
        "library's message, word for word.",
        PyExc_RuntimeError);
    database_error_class = new_exception_class(
        module, "DatabaseError",
        "An Error that carries the driver's diagnostics: a statement, fetch or column read "
        "that the driver refused. sqlstate is the SQLSTATE of the first diagnostic record "
        "(\"\" when the driver gave none; class \"08\": the connection failed), native_error "
        "that record's native code.",
        error_class);
    // The class of a value that Python cannot hold: the DB API's DataError
    // belongs here once the module has it.
    unrepresentable_value_class = error_class;
    py::handle database_error(database_error_class);
    database_error.attr("sqlstate") = "";
    database_error.attr("native_error") = 0;

    py::register_local_exception_translator([](std::exception_ptr thrown) {
        if (!thrown) {
            return;
        }
        try {
            std::rethrow_exception(thrown);
        } catch (const sql::DatabaseError& e) {
            raise_database_error(e);
        } catch (const UnrepresentableValue& e) {
            raise(unrepresentable_value_class, e.what());
        } catch (const zel::Error& e) {
            raise(error_class, e.what());
        } catch (const std::regex_error& e) {
            // Python's own type for an invalid pattern, with the C++ regular
            // expression engine's message.
            raise(py::module_::import("re").attr("error").ptr(), e.what());
        }
    });
}

}  // namespace zel::python
