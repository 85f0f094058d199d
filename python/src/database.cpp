// zel_sql.Database.

#include "database.h"

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cursor_result.h"
#include "numpy_query.h"
#include "odbc/bounded_statement.h"
#include "parameters.h"
#include "query_result.h"
#include "result_stream.h"
#include "text.h"
#include "typed_rows.h"
#include "zel/sql.h"
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

// A span of time given as seconds (an int or a float) or a
// datetime.timedelta, as whole milliseconds: 0 (none) or from 1 ms to 24 h.
// A fraction of a millisecond is rounded up, so that a small positive span
// never turns into none. Anything else, texts and bools included, is refused
// rather than read as a span the caller never meant. `name` is the
// argument's and `zero_means` what 0 does, for messages.
std::chrono::milliseconds parse_span(const py::object& limit, const std::string& name,
                                     const char* zero_means) {
    const py::module_ datetime = py::module_::import("datetime");
    const py::module_ numbers = py::module_::import("numbers");
    double seconds = 0;
    if (py::isinstance(limit, datetime.attr("timedelta"))) {
        seconds = limit.attr("total_seconds")().cast<double>();
    } else if (py::isinstance(limit, numbers.attr("Real")) && !py::isinstance<py::bool_>(limit)) {
        seconds = py::float_(limit).cast<double>();
    } else {
        throw py::type_error(
            name + " must be a number of seconds (int or float) or a datetime.timedelta, not " +
            py::type::handle_of(limit).attr("__name__").cast<std::string>());
    }
    constexpr double most_seconds = 86400;
    if (!(seconds == 0 || (seconds >= 0.001 && seconds <= most_seconds))) {
        throw py::value_error(name + " must be 0 (" + zero_means +
                              ") or from 0.001 to 86400 seconds (24 h), not " +
                              py::repr(py::float_(seconds)).cast<std::string>());
    }
    return std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(seconds * 1000)));
}

std::chrono::milliseconds parse_wait_limit(const py::object& limit) {
    return parse_span(limit, "wait_limit", "no limit");
}

std::chrono::milliseconds parse_hold_back(const py::object& hold_back) {
    return parse_span(hold_back, "hold_back", "never held back");
}

// A standby: a data source name, logged in to as the primary is, or a
// (data source, user, password) tuple.
struct Standby {
    std::string data_source;
    std::optional<std::pair<std::string, std::string>> login;
};

std::vector<Standby> parse_standbys(const py::object& standbys) {
    constexpr const char* expected =
        "standbys must be a list of data source names or of (data source, user, password) "
        "tuples";
    // A single name would otherwise be taken as a list of one-letter names.
    if (py::isinstance<py::str>(standbys) || py::isinstance<py::bytes>(standbys) ||
        !py::isinstance<py::iterable>(standbys)) {
        throw py::type_error(expected);
    }
    std::vector<Standby> parsed;
    for (const py::handle item : standbys) {
        Standby standby;
        if (py::isinstance<py::str>(item)) {
            standby.data_source = item.cast<Text>().bytes;
        } else if (py::isinstance<py::tuple>(item) && py::len(item) == 3 &&
                   py::isinstance<py::str>(item[py::int_(0)]) &&
                   py::isinstance<py::str>(item[py::int_(1)]) &&
                   py::isinstance<py::str>(item[py::int_(2)])) {
            standby.data_source = item[py::int_(0)].cast<Text>().bytes;
            standby.login.emplace(item[py::int_(1)].cast<Text>().bytes,
                                  item[py::int_(2)].cast<Text>().bytes);
        } else {
            throw py::type_error(expected);
        }
        refuse_nul(standby.data_source, "standby name");
        parsed.push_back(std::move(standby));
    }
    return parsed;
}

sql::SourceOrder parse_source_order(const std::string& order) {
    if (order == "listed") {
        return sql::SourceOrder::listed;
    }
    if (order == "random") {
        return sql::SourceOrder::random;
    }
    throw py::value_error("source_order must be \"listed\" or \"random\", not \"" + order + "\"");
}

// A point in time as an aware datetime in UTC; None for the epoch, which
// means "never".
py::object to_datetime(std::chrono::system_clock::time_point when) {
    if (when == std::chrono::system_clock::time_point{}) {
        return py::none();
    }
    const double seconds = std::chrono::duration<double>(when.time_since_epoch()).count();
    const py::module_ datetime = py::module_::import("datetime");
    return datetime.attr("datetime")
        .attr("fromtimestamp")(seconds, datetime.attr("timezone").attr("utc"));
}

}  // namespace

void LockedDatabase::hold_open_result(const std::shared_ptr<ResultStream>& result) {
    if (result->is_open()) {
        open_result_ = result;
    }
}

void LockedDatabase::settle_open_result(bool report) {
    const std::shared_ptr<ResultStream> open = open_result_.lock();
    open_result_.reset();
    if (!open) {
        return;
    }
    try {
        open->read_rest(database_);
    } catch (...) {
        if (report) {
            throw;
        }
    }
}

void bind_database(py::module_& module) {
    py::class_<LockedDatabase> cls(
        module, "Database",
        "One ODBC data source, reached with a user name and a password. Nothing is contacted "
        "at construction; the first statement connects. May be shared between threads: "
        "calls on one Database wait for each other, while the GIL is released.");
    cls.def(py::init([](const Text& data_source, const Text& user, const Text& password,
                        const py::object& wait_limit, const py::object& standbys,
                        const py::object& hold_back) {
                const std::chrono::milliseconds limit = parse_wait_limit(wait_limit);
                const std::chrono::milliseconds hold = parse_hold_back(hold_back);
                const std::vector<Standby> sources = parse_standbys(standbys);
                auto database =
                    std::make_unique<LockedDatabase>(data_source.bytes, user.bytes, password.bytes);
                database->use([&](sql::Database& db) {
                    db.set_wait_limit(limit);
                    db.set_hold_back(hold);
                    for (const Standby& standby : sources) {
                        if (standby.login) {
                            db.add_standby(standby.data_source, standby.login->first,
                                           standby.login->second);
                        } else {
                            db.add_standby(standby.data_source);
                        }
                    }
                });
                return database;
            }),
            py::arg("data_source"), py::arg("user") = "", py::arg("password") = "",
            py::arg("wait_limit") = 15.0, py::arg("standbys") = py::tuple(),
            py::arg("hold_back") = 30.0,
            "A Database for the ODBC data source `data_source`; an empty user or password is "
            "not passed to the driver. `wait_limit` and `hold_back`: see the properties. "
            "`standbys`: data sources holding a copy of the same data, tried in order when the "
            "primary does not answer a read: names logged in to with `user` and `password`, or "
            "(data source, user, password) tuples.");
    cls.def_property_readonly(
        "data_sources",
        [](LockedDatabase& self) {
            const std::vector<std::string> sources = self.use_as_it_is(
                [](sql::Database& database) { return database.get_data_sources(); });
            py::list names;
            for (const std::string& name : sources) {
                names.append(to_str(name));
            }
            return names;
        },
        "The primary data source, then the standbys in the order given.");
    cls.def_property_readonly(
        "serving_source",
        [](LockedDatabase& self) {
            return Text{self.use_as_it_is(
                [](sql::Database& database) { return database.get_serving_source(); })};
        },
        "The data source of the open connection; \"\" when not connected.");
    cls.def_property(
        "source_order",
        [](LockedDatabase& self) {
            const sql::SourceOrder order = self.use_as_it_is(
                [](sql::Database& database) { return database.get_source_order(); });
            return std::string(order == sql::SourceOrder::random ? "random" : "listed");
        },
        [](LockedDatabase& self, const std::string& order) {
            const sql::SourceOrder parsed = parse_source_order(order);
            self.use_as_it_is(
                [parsed](sql::Database& database) { database.set_source_order(parsed); });
        },
        "\"listed\" (the default): every connect tries the primary, then the standbys in "
        "order. \"random\": the sources, primary included, shuffled once for this Database, "
        "so that many programs spread their reads.");
    cls.def_property(
        "hold_back",
        [](LockedDatabase& self) {
            const std::chrono::milliseconds hold =
                self.use_as_it_is([](sql::Database& database) { return database.get_hold_back(); });
            return static_cast<double>(hold.count()) / 1000.0;
        },
        [](LockedDatabase& self, const py::object& hold_back) {
            const std::chrono::milliseconds hold = parse_hold_back(hold_back);
            self.use_as_it_is([hold](sql::Database& database) { database.set_hold_back(hold); });
        },
        "Seconds for which a data source that did not answer within the wait limit is "
        "skipped, by every Database of the process (default 30.0, doubled after each further "
        "miss up to 8 minutes; ends early once the abandoned call returns). A number or a "
        "datetime.timedelta from 0.001 to 86400, or 0: never held back.");
    cls.def(
        "source_states",
        [](LockedDatabase& self) {
            const auto states = self.use_as_it_is(
                [](sql::Database& database) { return database.get_source_states(); });
            py::list out;
            for (const auto& state : states) {
                py::dict item;
                item["data_source"] = to_str(state.data_source);
                item["held_back_until"] = to_datetime(state.held_back_until);
                item["last_error"] = to_str(state.last_error);
                item["given_up_calls"] = state.given_up_calls;
                out.append(std::move(item));
            }
            return out;
        },
        "One dict per data source, in the order of data_sources: data_source, "
        "held_back_until (an aware datetime in UTC; None when not held back) and last_error "
        "(its latest failure; \"\" when it last answered) and given_up_calls (calls given up "
        "after a timeout whose helper threads are still blocked in the driver).");
    cls.def_property(
        "wait_limit",
        [](LockedDatabase& self) {
            const std::chrono::milliseconds limit = self.use_as_it_is(
                [](sql::Database& database) { return database.get_wait_limit(); });
            return static_cast<double>(limit.count()) / 1000.0;
        },
        [](LockedDatabase& self, const py::object& wait_limit) {
            const std::chrono::milliseconds limit = parse_wait_limit(wait_limit);
            self.use_as_it_is([limit](sql::Database& database) { database.set_wait_limit(limit); });
        },
        "The longest, in seconds, that a login, query(), query_numpy(), read_with_cache() and "
        "the component list loads wait for one answer of the database (default 15.0; set as a "
        "number or a "
        "datetime.timedelta; 0: no limit). When an answer is overdue they raise "
        "DatabaseError with sqlstate \"HYT00\", or fall back to the cache or the backup file. "
        "query() and query_numpy() wait under it too, for the login, the statement and each "
        "fetch. From 0.001 to 86400 (24 h), or 0; raises TypeError for any other type and "
        "ValueError for a value out of that range.");
    cls.def(
        "disconnect",
        [](LockedDatabase& self) {
            self.use_after_any_failure([](sql::Database& database) { database.disconnect(); });
        },
        "Closes the connection if it is open; the next statement connects again.");
    cls.def_property_readonly(
        "is_connected",
        [](LockedDatabase& self) {
            return self.use_as_it_is(
                [](sql::Database& database) { return database.is_connected(); });
        },
        "True from a successful login until disconnect() or until a statement finds the "
        "connection dead.");
    cls.def_property_readonly(
        "last_connect_error",
        [](LockedDatabase& self) {
            return Text{self.use_as_it_is(
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
            return query_typed_rows(self, sql.bytes, BoundParameters::from_python(parameters));
        },
        py::arg("sql"), py::arg("parameters") = py::tuple(),
        "Every row of `sql`: a list of tuples of Python values by the column's SQL type, as "
        "pyodbc gives them: int for integer types, float for REAL/FLOAT/DOUBLE, "
        "decimal.Decimal for DECIMAL/NUMERIC, str for character types (bytes that are no "
        "UTF-8 as surrogate escapes), bytes for binary types, datetime.date, datetime.time "
        "and datetime.datetime for DATE, TIME and TIMESTAMP (Error naming the column and the "
        "driver's text for a value they cannot hold, such as 24:00:00 or a year beyond 9999), "
        "bool for BIT, str for any other type; None for NULL. No cache is involved. A statement "
        "without a result set is "
        "executed and gives []. Waits for each answer of the database at most wait_limit. "
        "Raises DatabaseError when the driver refuses it or an answer is overdue (sqlstate "
        "\"HYT00\"), ValueError for an `sql` with a NUL, before anything is sent.\n\n"
        "`parameters`: the values of the SQL text's ? markers, in order, sent as bound "
        "parameters (never formatted into the text): None, bool, int, float, "
        "decimal.Decimal, str, bytes, bytearray, memoryview, datetime.date, datetime.time or "
        "datetime.datetime; any other type raises ProgrammingError naming its position.");
    cls.def(
        "_run_many",
        [](LockedDatabase& self, const Text& sql, const py::iterable& seq_of_parameters) {
            refuse_nul(sql.bytes, "sql");
            // Every row converted before anything is sent.
            auto rows =
                std::make_shared<ParameterRows>(ParameterRows::from_python(seq_of_parameters));
            if (rows->count == 0) {
                return 0LL;
            }
            return self.use([&](sql::Database& database) {
                return sql::detail::run_statement_bounded<long long>(
                    database, [text = sql.bytes, rows](sql::Database& on) {
                        return execute_many(on, text, *rows);
                    });
            });
        },
        py::arg("sql"), py::arg("seq_of_parameters"),
        "For zel_sql.Cursor.executemany: runs `sql` prepared once for every sequence of "
        "parameters, in arrays of up to 1000 rows where the driver takes them, else once per "
        "sequence, under the wait limit for each answer; gives the sum of the rows changed, "
        "-1 when unknown. Every value of a parameter has the type of its first value that is "
        "not None (int goes with float); another raises ProgrammingError naming the row.");
    cls.def_property(
        "autocommit",
        [](LockedDatabase& self) {
            return self.use_as_it_is(
                [](sql::Database& database) { return database.get_autocommit(); });
        },
        [](LockedDatabase& self, bool on) {
            self.use([on](sql::Database& database) { database.set_autocommit(on); });
        },
        "True (the default): every statement is committed on its own. False: the statements "
        "since the last commit() or rollback() form one transaction, which only commit() "
        "stores. Switching it on commits an open transaction. Bounded by wait_limit.");
    cls.def(
        "commit",
        [](LockedDatabase& self) { self.use([](sql::Database& database) { database.commit(); }); },
        "Stores the open transaction; nothing in autocommit mode. Raises OperationalError "
        "(sqlstate \"08S01\") when the transaction was lost with its connection since the "
        "last commit() or rollback(): nothing of it was stored; call rollback() to go on.");
    cls.def(
        "rollback",
        [](LockedDatabase& self) {
            self.use_after_any_failure([](sql::Database& database) { database.rollback(); });
        },
        "Undoes the open transaction and forgets a lost one; nothing in autocommit mode.");
    bind_query_numpy(cls);
    bind_cursor_results(module, cls);
    cls.def(
        "read_with_cache",
        [](LockedDatabase& self, const Text& sql, const std::string& policy,
           const py::object& max_age) {
            refuse_nul(sql.bytes, "sql");
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
            return Text{self.use_as_it_is(
                [](sql::Database& database) { return database.get_cache().get_folder(); })};
        },
        [](LockedDatabase& self, const FilePath& folder) {
            self.use_as_it_is(
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
