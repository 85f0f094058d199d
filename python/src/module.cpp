// The Python module zel_sql: the facility's component list and the database
// reads of libzel_sql for scripts, with the library's behaviour and messages.

#include <pybind11/pybind11.h>

#include "component_list.h"
#include "database.h"
#include "errors.h"
#include "query_result.h"
#include "text.h"
#include "zel/sql/functions.h"

namespace py = pybind11;

namespace {

// The extension is zel_sql._zel_sql, re-exported by the package zel_sql
// (python/zel_sql/__init__.py). Its classes, exceptions and functions say
// they belong to zel_sql, as they did when the extension was the whole
// module: pickles find them there, and reprs, tracebacks and the signatures
// in docstrings name what a script imports. pybind11 and
// PyErr_NewException take that name from the module's __name__ when each one
// is made, so the module carries the package's name while they are made.
class PackageName {
public:
    explicit PackageName(py::module_& module)
        : module_(module), own_name_(module.attr("__name__")) {
        module_.attr("__name__") = "zel_sql";
    }
    PackageName(const PackageName&) = delete;
    PackageName& operator=(const PackageName&) = delete;
    // Also runs while a failed binding unwinds, so it must not throw; a
    // module whose initialisation failed is not imported anyway.
    ~PackageName() {
        if (PyObject_SetAttrString(module_.ptr(), "__name__", own_name_.ptr()) != 0) {
            PyErr_Clear();
        }
    }

private:
    py::module_& module_;
    py::object own_name_;
};

}  // namespace

PYBIND11_MODULE(_zel_sql, module) {
    const PackageName package_name(module);
    module.doc() =
        "The component list of an accelerator facility and cached database reads, from "
        "libzel_sql.\n\n"
        "Every failure that the library reports is raised as zel_sql.Error (a RuntimeError) "
        "with the library's message. Calls that wait for the database or the disk release the "
        "GIL.";

    zel::python::bind_errors(module);
    zel::python::bind_query_result(module);
    zel::python::bind_database(module);
    zel::python::bind_component_list(module);

    module.def(
        "standardize_facility_name",
        [](const zel::python::Text& name) {
            return zel::python::Text{zel::sql::standardize_facility_name(name.bytes)};
        },
        py::arg("name"),
        "The canonical name of a facility given in any accepted spelling: trimmed, ASCII upper "
        "case, the \"_SIM\" spellings (\"vmiran\", \"miran.sim\") mapped onto "
        "\"<FACILITY>_SIM\", and any other dotted qualifier cut off (\"duno.test\" gives "
        "\"DUNO\").");
}
