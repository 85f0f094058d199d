#include "errors.h"

#include <exception>
#include <regex>
#include <string>
#include <string_view>

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
PyObject* data_error_class = nullptr;
PyObject* operational_error_class = nullptr;
PyObject* integrity_error_class = nullptr;
PyObject* internal_error_class = nullptr;
PyObject* programming_error_class = nullptr;
PyObject* not_supported_error_class = nullptr;

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

}  // namespace

PyObject* database_error_class_for(const std::string& sqlstate) {
    // The one table of SQLSTATEs and DB API exception classes; a whole
    // SQLSTATE before its class (the first two characters).
    struct Entry {
        const char* sqlstate;
        PyObject** cls;
    };
    const Entry table[] = {
        {"HYT00", &operational_error_class},    // timeout expired (and the wait limit)
        {"HYT01", &operational_error_class},    // connection timeout expired
        {"HYC00", &not_supported_error_class},  // optional feature not implemented
        {"IM001", &not_supported_error_class},  // the driver does not support this function
        {"08", &operational_error_class},       // connection exception
        {"40", &operational_error_class},       // transaction rollback: deadlock, serialization
        {"53", &operational_error_class},       // insufficient resources
        {"57", &operational_error_class},       // operator intervention: shutdown, cancel
        {"58", &operational_error_class},       // system error outside the database
        {"22", &data_error_class},              // data exception
        {"23", &integrity_error_class},         // integrity constraint violation
        {"42", &programming_error_class},       // syntax error or access rule violation
        {"3D", &programming_error_class},       // invalid catalog name
        {"3F", &programming_error_class},       // invalid schema name
        {"07", &programming_error_class},       // dynamic SQL error: parameters, descriptors
        {"24", &internal_error_class},          // invalid cursor state
        {"25", &internal_error_class},          // invalid transaction state
        {"XX", &internal_error_class},          // internal error of the server
        {"0A", &not_supported_error_class},     // feature not supported
    };
    for (const Entry& entry : table) {
        const std::string_view key(entry.sqlstate);
        const bool matches =
            key.size() == 5 ? sqlstate == key : std::string_view(sqlstate).substr(0, 2) == key;
        if (matches) {
            return *entry.cls;
        }
    }
    return database_error_class;
}

namespace {

void raise_database_error(const sql::DatabaseError& e) {
    PyObject* cls = database_error_class_for(e.get_sqlstate());
    py::object error = py::reinterpret_borrow<py::object>(cls)(to_str(e.what()));
    error.attr("sqlstate") = to_str(e.get_sqlstate());
    error.attr("native_error") = e.get_native_error();
    PyErr_SetObject(cls, error.ptr());
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
    py::handle database_error(database_error_class);
    database_error.attr("sqlstate") = "";
    database_error.attr("native_error") = 0;

    // The remaining classes of the Python database interface (PEP 249).
    new_exception_class(module, "Warning",
                        "Important warnings of the database interface; never raised by this "
                        "module, which reports every problem as an Error.",
                        PyExc_Exception);
    new_exception_class(module, "InterfaceError",
                        "An Error of the database interface itself rather than of the database: "
                        "a closed connection or cursor, a call out of order.",
                        error_class);
    data_error_class = new_exception_class(
        module, "DataError",
        "A DatabaseError about the data: a value out of range, division by zero (SQLSTATE "
        "class 22).",
        database_error_class);
    operational_error_class = new_exception_class(
        module, "OperationalError",
        "A DatabaseError of the database's operation rather than of the statement: the "
        "connection failed or was lost, an answer was overdue (classes 08, 40, 53, 57, 58; "
        "HYT00, HYT01).",
        database_error_class);
    integrity_error_class = new_exception_class(
        module, "IntegrityError",
        "A DatabaseError for a violated constraint: a duplicate key, a missing reference "
        "(class 23).",
        database_error_class);
    internal_error_class = new_exception_class(
        module, "InternalError",
        "A DatabaseError for an internal state of the database: an invalid cursor or "
        "transaction state (classes 24, 25, XX).",
        database_error_class);
    programming_error_class = new_exception_class(
        module, "ProgrammingError",
        "A DatabaseError of the SQL or its use: a syntax error, an unknown table, a wrong "
        "number of parameters, a parameter of a type that cannot be sent (classes 42, 3D, 3F, "
        "07).",
        database_error_class);
    not_supported_error_class = new_exception_class(
        module, "NotSupportedError",
        "A DatabaseError for something the driver or the database does not offer (HYC00, "
        "IM001, class 0A).",
        database_error_class);

    py::register_local_exception_translator([](std::exception_ptr thrown) {
        if (!thrown) {
            return;
        }
        try {
            std::rethrow_exception(thrown);
        } catch (const sql::DatabaseError& e) {
            raise_database_error(e);
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
