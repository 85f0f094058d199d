// zel_sql.Database.

#include "database.h"

#include <string>

#include "text.h"

namespace py = pybind11;

namespace zel::python {

void bind_database(py::module_& module) {
    py::class_<LockedDatabase> cls(
        module, "Database",
        "One ODBC data source, reached with a user name and a password. Nothing is contacted "
        "at construction; the first statement connects. May be shared between threads: "
        "calls on one Database wait for each other, while the GIL is released.");
    cls.def(py::init([](const Text& data_source, const Text& user, const Text& password) {
                return new LockedDatabase(data_source.bytes, user.bytes, password.bytes);
            }),
            py::arg("data_source"), py::arg("user") = "", py::arg("password") = "",
            "A Database for the ODBC data source `data_source`; an empty user or password is "
            "not passed to the driver.");
    cls.def(
        "disconnect",
        [](LockedDatabase& self) {
            self.use([](sql::Database& database) { database.disconnect(); });
        },
        "Closes the connection if it is open; the next statement connects again.");
    cls.def_property_readonly(
        "is_connected",
        [](LockedDatabase& self) {
            return self.use([](sql::Database& database) { return database.is_connected(); });
        },
        "True from a successful login until disconnect() or until a statement finds the "
        "connection dead.");
    cls.def_property_readonly(
        "last_connect_error",
        [](LockedDatabase& self) {
            return Text{self.use(
                [](sql::Database& database) { return database.get_last_connect_error(); })};
        },
        "Why the most recent login was refused, in the driver's words; \"\" before the first "
        "attempt and after a successful one.");
    cls.def_property(
        "cache_folder",
        [](LockedDatabase& self) {
            return Text{self.use(
                [](sql::Database& database) { return database.get_cache().get_folder(); })};
        },
        [](LockedDatabase& self, const FilePath& folder) {
            self.use(
                [&](sql::Database& database) { database.get_cache().set_folder(folder.bytes); });
        },
        "The folder of this data source's cache files (default \"db_cache\", relative to the "
        "working directory). Raises Error when set to \"\".");
    cls.def(
        "__repr__",
        [](const LockedDatabase& self) {
            return py::str("<zel_sql.Database {!r}>").format(to_str(self.data_source()));
        },
        "The data source's name.");
}

}  // namespace zel::python
