// zel_sql.Database.

#include "database.h"

#include <chrono>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "numpy_query.h"
#include "parameters.h"
#include "query_result.h"
#include "text.h"
#include "typed_rows.h"
#include "zel/sql/Query.h"
#include "zel/sql/QueryResult.h"

namespace py = pybind11;

namespace zel::python {
namespace {

sql::CachePolicy parse_policy(const std::string& policy) {
    if (policy == "fallback") {
        return sql::CachePolicy::fallback;
    }
    if (policy == "prefer_cache") {
        return sql::CachePolicy::prefer_cache;
    }
    if (policy == "cache_only") {
        return sql::CachePolicy::cache_only;
    }
    throw py::value_error(
        "policy must be \"fallback\", \"prefer_cache\" or \"cache_only\", not \"" + policy + "\"");
}

// Seconds or a datetime.timedelta. A copy is fresh while its age in whole
// seconds is below max_age; rounding a fraction up keeps that exact.
std::chrono::seconds parse_max_age(const py::object& max_age) {
    const py::object timedelta = py::module_::import("datetime").attr("timedelta");
    const double seconds = py::isinstance(max_age, timedelta)
                               ? max_age.attr("total_seconds")().cast<double>()
                               : py::float_(max_age).cast<double>();
    if (std::isnan(seconds)) {
        throw py::value_error("max_age must be a number of seconds, not NaN");
    }
    using Rep = std::chrono::seconds::rep;
    const double limit = static_cast<double>(std::numeric_limits<Rep>::max() / 2);
    return std::chrono::seconds(
        static_cast<Rep>(std::ceil(std::fmax(-limit, std::fmin(seconds, limit)))));
}

// Seconds (a number) or a datetime.timedelta, as whole milliseconds; at least
// 0, where 0 means no limit. A fraction of a millisecond is rounded up, so that
// a small positive limit never turns into none.
std::chrono::milliseconds parse_wait_limit(const py::object& limit) {
    const py::object timedelta = py::module_::import("datetime").attr("timedelta");
    const double seconds = py::isinstance(limit, timedelta)
                               ? limit.attr("total_seconds")().cast<double>()
                               : py::float_(limit).cast<double>();
    if (std::isnan(seconds) || seconds < 0) {
        throw py::value_error("wait_limit must be a number of seconds >= 0 (0: no limit)");
    }
    using Rep = std::chrono::milliseconds::rep;
    const double most = static_cast<double>(std::numeric_limits<Rep>::max() / 2);
    return std::chrono::milliseconds(static_cast<Rep>(std::ceil(std::fmin(seconds * 1000, most))));
}

}  // namespace

void bind_database(py::module_& module) {
    py::class_<LockedDatabase> cls(
        module, "Database",
        "One ODBC data source, reached with a user name and a password. Nothing is contacted "
        "at construction; the first statement connects. May be shared between threads: "
        "calls on one Database wait for each other, while the GIL is released.");
    cls.def(py::init([](const Text& data_source, const Text& user, const Text& password,
                        const py::object& wait_limit) {
                const std::chrono::milliseconds limit = parse_wait_limit(wait_limit);
                auto database =
                    std::make_unique<LockedDatabase>(data_source.bytes, user.bytes, password.bytes);
                database->use([limit](sql::Database& db) { db.set_wait_limit(limit); });
                return database;
            }),
            py::arg("data_source"), py::arg("user") = "", py::arg("password") = "",
            py::arg("wait_limit") = 15.0,
            "A Database for the ODBC data source `data_source`; an empty user or password is "
            "not passed to the driver. `wait_limit`: see the property.");
    cls.def_property(
        "wait_limit",
        [](LockedDatabase& self) {
            const std::chrono::milliseconds limit =
                self.use([](sql::Database& database) { return database.get_wait_limit(); });
            return static_cast<double>(limit.count()) / 1000.0;
        },
        [](LockedDatabase& self, const py::object& wait_limit) {
            const std::chrono::milliseconds limit = parse_wait_limit(wait_limit);
            self.use([limit](sql::Database& database) { database.set_wait_limit(limit); });
        },
        "The longest, in seconds, that a login, read_with_cache() and the component list "
        "loads wait for one answer of the database (default 15.0; set as a number or a "
        "datetime.timedelta; 0: no limit). When an answer is overdue they raise "
        "DatabaseError with sqlstate \"HYT00\", or fall back to the cache or the backup file. "
        "query() waits for its login under the limit and for its rows as long as the driver "
        "does.");
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
    cls.def(
        "driver_info",
        [](LockedDatabase& self) {
            const sql::DriverInfo info =
                self.use([](sql::Database& database) { return database.get_driver_info(); });
            py::dict out;
            out["driver_name"] = Text{info.driver_name};
            out["driver_version"] = Text{info.driver_version};
            out["odbc_version"] = Text{info.odbc_version};
            out["dbms_name"] = Text{info.dbms_name};
            out["dbms_version"] = Text{info.dbms_version};
            return out;
        },
        "The names and versions of the driver and of the server, as the driver reports them "
        "(SQLGetInfo): a dict with driver_name, driver_version, odbc_version, dbms_name and "
        "dbms_version. Logs in first if needed, under the wait limit. Raises DatabaseError "
        "with the login's SQLSTATE when the login is refused.");
    cls.def(
        "query",
        [](LockedDatabase& self, const Text& sql, const py::object& parameters) {
            BoundParameters bound = BoundParameters::from_python(parameters);
            if (bound.size() == 0) {
                return query_typed_rows(self, sql.bytes);
            }
            return typed_rows_of(self, [&](sql::Database& db) {
                return execute_with_parameters(db, sql.bytes, bound);
            });
        },
        py::arg("sql"), py::arg("parameters") = py::tuple(),
        "Every row of `sql`: a list of tuples of Python values by the column's SQL type, as "
        "pyodbc gives them: int for integer types, float for REAL/FLOAT/DOUBLE, "
        "decimal.Decimal for DECIMAL/NUMERIC, str for character types (bytes that are no "
        "UTF-8 as surrogate escapes), bytes for binary types, datetime.date, datetime.time "
        "and datetime.datetime for DATE, TIME and TIMESTAMP, bool for BIT, str for any other "
        "type; None for NULL. No cache is involved. A statement without a result set is "
        "executed and gives []. Raises DatabaseError when the driver refuses it.\n\n"
        "`parameters`: the values of the SQL text's ? markers, in order, sent as bound "
        "parameters (never formatted into the text): None, bool, int, float, "
        "decimal.Decimal, str, bytes, datetime.date, datetime.time or datetime.datetime; "
        "any other type raises ProgrammingError naming its position.");
    bind_query_numpy(cls);
    cls.def(
        "read_with_cache",
        [](LockedDatabase& self, const Text& sql, const std::string& policy,
           const py::object& max_age) {
            const sql::CachePolicy cache_policy = parse_policy(policy);
            const std::chrono::seconds age = parse_max_age(max_age);
            sql::QueryResult result = self.use([&](sql::Database& database) {
                return database.read_with_cache(sql.bytes, cache_policy, age);
            });
            return to_python(result);
        },
        py::arg("sql"), py::arg("policy") = "fallback", py::arg("max_age") = 0,
        "Every row of `sql` as text, read through this data source's cache folder.\n\n"
        "policy \"fallback\": read from the database and store a copy; when the database "
        "fails, the last stored copy with from_cache True and the database's message. "
        "\"prefer_cache\": a copy younger than max_age (seconds or datetime.timedelta) without "
        "contacting the database, else as \"fallback\". \"cache_only\": only the copy. Raises "
        "Error with the database's and the cache's messages when neither can answer.");
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
