#include "parameters.h"

#include <datetime.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

#include "odbc/odbc_rules.h"
#include "odbc/prepared_statement.h"
#include "odbc/query_statement.h"
#include "util/string.h"
#include "zel/sql/DatabaseError.h"

namespace py = pybind11;

namespace zel::python {
namespace {

// SQLSTATE 07006, restricted data type attribute violation: a ProgrammingError.
[[noreturn]] void refuse(std::size_t position, const py::handle& value, const std::string& why) {
    const std::string type_name = py::str(py::type::handle_of(value).attr("__name__"));
    throw sql::DatabaseError(util::cat("Parameter ", position, " (", type_name, ") ", why), "07006",
                             0);
}

std::string utf8_of(const py::handle& text) {
    // Surrogate escapes turn back into the bytes they stand for, as the
    // texts that the module hands out came.
    PyObject* encoded = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogateescape");
    if (encoded == nullptr) {
        throw py::error_already_set();
    }
    const py::bytes bytes = py::reinterpret_steal<py::bytes>(encoded);
    return std::string(bytes);
}

// The fields of datetime objects. CPython's accessor macros cast in C style.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
SQL_DATE_STRUCT date_of(PyObject* date) {
    SQL_DATE_STRUCT d{};
    d.year = static_cast<SQLSMALLINT>(PyDateTime_GET_YEAR(date));
    d.month = static_cast<SQLUSMALLINT>(PyDateTime_GET_MONTH(date));
    d.day = static_cast<SQLUSMALLINT>(PyDateTime_GET_DAY(date));
    return d;
}

SQL_TIMESTAMP_STRUCT timestamp_of(PyObject* datetime) {
    SQL_TIMESTAMP_STRUCT t{};
    t.year = static_cast<SQLSMALLINT>(PyDateTime_GET_YEAR(datetime));
    t.month = static_cast<SQLUSMALLINT>(PyDateTime_GET_MONTH(datetime));
    t.day = static_cast<SQLUSMALLINT>(PyDateTime_GET_DAY(datetime));
    t.hour = static_cast<SQLUSMALLINT>(PyDateTime_DATE_GET_HOUR(datetime));
    t.minute = static_cast<SQLUSMALLINT>(PyDateTime_DATE_GET_MINUTE(datetime));
    t.second = static_cast<SQLUSMALLINT>(PyDateTime_DATE_GET_SECOND(datetime));
    t.fraction = static_cast<SQLUINTEGER>(PyDateTime_DATE_GET_MICROSECOND(datetime)) * 1000;
    return t;
}

SQL_TIME_STRUCT time_of(PyObject* time) {
    SQL_TIME_STRUCT t{};
    t.hour = static_cast<SQLUSMALLINT>(PyDateTime_TIME_GET_HOUR(time));
    t.minute = static_cast<SQLUSMALLINT>(PyDateTime_TIME_GET_MINUTE(time));
    t.second = static_cast<SQLUSMALLINT>(PyDateTime_TIME_GET_SECOND(time));
    return t;
}

bool has_microseconds(PyObject* time) {
    return PyDateTime_TIME_GET_MICROSECOND(time) != 0;
}

bool is_datetime(PyObject* object) {
    return PyDateTime_Check(object);
}
bool is_date(PyObject* object) {
    return PyDate_Check(object);
}
bool is_time(PyObject* object) {
    return PyTime_Check(object);
}
#pragma GCC diagnostic pop

}  // namespace

BoundParameters BoundParameters::from_python(const py::handle& parameters) {
    if (PyUnicode_Check(parameters.ptr()) || PyBytes_Check(parameters.ptr()) ||
        !PySequence_Check(parameters.ptr())) {
        throw py::type_error(
            "parameters must be a sequence (a tuple or a list) of values, not " +
            std::string(py::str(py::type::handle_of(parameters).attr("__name__"))));
    }
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
        if (PyDateTimeAPI == nullptr) {
            throw py::error_already_set();
        }
    }
    const py::object decimal_class = py::module_::import("decimal").attr("Decimal");
    const py::sequence sequence = py::reinterpret_borrow<py::sequence>(parameters);
    BoundParameters out;
    out.values_.reserve(sequence.size());
    std::size_t position = 0;
    for (const py::handle item : sequence) {
        ++position;
        Value value;
        PyObject* const object = item.ptr();
        if (object == Py_None) {
            value.indicator = SQL_NULL_DATA;
            value.column_size = 1;
        } else if (PyBool_Check(object)) {
            value.c_type = SQL_C_BIT;
            value.sql_type = SQL_BIT;
            value.column_size = 1;
            value.fixed.bit = object == Py_True ? 1 : 0;
        } else if (PyLong_Check(object)) {
            int overflow = 0;
            const long long number = PyLong_AsLongLongAndOverflow(object, &overflow);
            if (overflow == 0) {
                if (number == -1 && PyErr_Occurred() != nullptr) {
                    throw py::error_already_set();
                }
                value.c_type = SQL_C_SBIGINT;
                value.sql_type = SQL_BIGINT;
                value.column_size = 19;
                value.fixed.integer = number;
            } else {
                // Beyond 64 bits: the digits, as an exact number.
                value.bytes = std::string(py::str(item));
                value.sql_type = SQL_DECIMAL;
                value.column_size = value.bytes.size();
            }
        } else if (PyFloat_Check(object)) {
            value.c_type = SQL_C_DOUBLE;
            value.sql_type = SQL_DOUBLE;
            value.column_size = 15;
            value.fixed.real = PyFloat_AS_DOUBLE(object);
        } else if (py::isinstance(item, decimal_class)) {
            if (!item.attr("is_finite")().cast<bool>()) {
                refuse(position, item, "is not finite: no database column holds it");
            }
            // Plain digits with a point, never an exponent, which some
            // drivers do not read.
            value.bytes = std::string(py::str(py::str("{:f}").format(item)));
            const py::tuple digits = item.attr("as_tuple")();
            const int exponent = digits[2].cast<int>();
            const std::size_t count = py::len(digits[1]);
            value.sql_type = SQL_DECIMAL;
            value.decimal_digits = static_cast<SQLSMALLINT>(exponent < 0 ? -exponent : 0);
            value.column_size = std::max<std::size_t>(
                {count, static_cast<std::size_t>(value.decimal_digits), std::size_t{1}});
        } else if (PyUnicode_Check(object)) {
            value.bytes = utf8_of(item);
            value.sql_type = value.bytes.size() > 4000 ? SQL_LONGVARCHAR : SQL_VARCHAR;
            value.column_size = std::max<std::size_t>(value.bytes.size(), 1);
        } else if (PyBytes_Check(object) || PyByteArray_Check(object) ||
                   PyMemoryView_Check(object)) {
            value.bytes = std::string(py::bytes(py::reinterpret_borrow<py::object>(item)));
            value.c_type = SQL_C_BINARY;
            value.sql_type = value.bytes.size() > 8000 ? SQL_LONGVARBINARY : SQL_VARBINARY;
            value.column_size = std::max<std::size_t>(value.bytes.size(), 1);
        } else if (is_datetime(object)) {
            if (!item.attr("utcoffset")().is_none()) {
                refuse(position, item,
                       "has a time zone, which a TIMESTAMP column does not keep: convert it to "
                       "the zone the database expects and drop tzinfo");
            }
            value.c_type = SQL_C_TYPE_TIMESTAMP;
            value.sql_type = SQL_TYPE_TIMESTAMP;
            value.column_size = 26;
            value.decimal_digits = 6;
            value.fixed.timestamp = timestamp_of(object);
        } else if (is_date(object)) {
            value.c_type = SQL_C_TYPE_DATE;
            value.sql_type = SQL_TYPE_DATE;
            value.column_size = 10;
            value.fixed.date = date_of(object);
        } else if (is_time(object)) {
            if (!item.attr("utcoffset")().is_none()) {
                refuse(position, item, "has a time zone, which a TIME column does not keep");
            }
            value.sql_type = SQL_TYPE_TIME;
            if (has_microseconds(object)) {
                // SQL_TIME_STRUCT has no fraction of a second: as text.
                value.bytes = std::string(py::str(item.attr("isoformat")()));
                value.column_size = 15;
                value.decimal_digits = 6;
            } else {
                value.c_type = SQL_C_TYPE_TIME;
                value.column_size = 8;
                value.fixed.time = time_of(object);
            }
        } else {
            refuse(position, item,
                   "cannot be sent: use None, bool, int, float, decimal.Decimal, str, bytes, "
                   "datetime.date, datetime.time or datetime.datetime");
        }
        if (value.indicator != SQL_NULL_DATA) {
            value.indicator = value.c_type == SQL_C_CHAR || value.c_type == SQL_C_BINARY
                                  ? static_cast<SQLLEN>(value.bytes.size())
                                  : 0;
        }
        out.values_.push_back(std::move(value));
    }
    return out;
}

void BoundParameters::bind(SQLHSTMT statement) {
    SQLUSMALLINT number = 0;
    for (Value& value : values_) {
        ++number;
        const bool variable = value.c_type == SQL_C_CHAR || value.c_type == SQL_C_BINARY;
        // An empty text still needs a valid address.
        SQLPOINTER buffer = variable ? static_cast<SQLPOINTER>(value.bytes.data())
                                     : static_cast<SQLPOINTER>(&value.fixed);
        const SQLLEN length = variable ? static_cast<SQLLEN>(value.bytes.size()) : 0;
        const SQLRETURN code = SQLBindParameter(
            statement, number, SQL_PARAM_INPUT, value.c_type, value.sql_type, value.column_size,
            value.decimal_digits, buffer, length, &value.indicator);
        if (!sql::odbc::succeeded(code)) {
            sql::odbc::throw_statement_error(statement,
                                             util::cat("Unable to bind parameter ", number, ": "));
        }
    }
}

sql::Query execute_with_parameters(sql::Database& database, const std::string& sql,
                                   BoundParameters& parameters) {
    using Access = sql::detail::PreparedStatementAccess;
    sql::Query query = Access::prepare(database, sql);
    const int markers = Access::count_parameters(query);
    if (static_cast<std::size_t>(markers) != parameters.size()) {
        throw sql::DatabaseError(util::cat("The SQL text has ", markers, " parameter markers, but ",
                                           parameters.size(), " parameters were given (", sql, ")"),
                                 "07001", 0);
    }
    const SQLHSTMT statement = sql::detail::QueryStatementAccess::handle(query);
    parameters.bind(statement);
    Access::execute(database, query);
    // The parameters' buffers may go now; the result set stays.
    SQLFreeStmt(statement, SQL_RESET_PARAMS);
    return query;
}

long long execute_many(sql::Database& database, const std::string& sql,
                       std::vector<BoundParameters>& rows) {
    using Access = sql::detail::PreparedStatementAccess;
    sql::Query query = Access::prepare(database, sql);
    const auto markers = static_cast<std::size_t>(Access::count_parameters(query));
    const SQLHSTMT statement = sql::detail::QueryStatementAccess::handle(query);
    long long total = 0;
    for (BoundParameters& row : rows) {
        if (row.size() != markers) {
            throw sql::DatabaseError(
                util::cat("The SQL text has ", markers, " parameter markers, but ", row.size(),
                          " parameters were given (", sql, ")"),
                "07001", 0);
        }
        // A row's values may differ in type from the last one's: bound anew.
        SQLFreeStmt(statement, SQL_RESET_PARAMS);
        row.bind(statement);
        Access::execute(database, query);
        SQLLEN changed = -1;
        if (!sql::odbc::succeeded(SQLRowCount(statement, &changed)) || changed < 0) {
            total = -1;
        } else if (total >= 0) {
            total += static_cast<long long>(changed);
        }
        // A statement that gave a result set is executed again only once
        // its cursor is closed.
        SQLFreeStmt(statement, SQL_CLOSE);
    }
    SQLFreeStmt(statement, SQL_RESET_PARAMS);
    return total;
}

sql::Query execute_statement(sql::Database& database, const std::string& sql,
                             BoundParameters& parameters) {
    if (parameters.size() == 0) {
        // Not send_query(): an UPDATE or DELETE that met no row has succeeded.
        return sql::detail::PreparedStatementAccess::execute_direct(database, sql);
    }
    return execute_with_parameters(database, sql, parameters);
}

}  // namespace zel::python
