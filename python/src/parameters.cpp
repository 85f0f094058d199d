#include "parameters.h"

#include <datetime.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#include "odbc/odbc_rules.h"
#include "odbc/parameter_arrays.h"
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
    // The common case without a copy in between: CPython keeps an ASCII
    // text's bytes as they are, and another's UTF-8 once made.
    Py_ssize_t size = 0;
    if (const char* const utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size); utf8 != nullptr) {
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    // A lone surrogate has no UTF-8. Surrogate escapes turn back into the
    // bytes they stand for, as the texts that the module hands out came.
    PyErr_Clear();
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

// Whether a datetime or time carries a tzinfo whose offset is not None:
// read from the object's own field where CPython offers it, which spares a
// call of utcoffset() for the naive values that most rows hold.
bool has_utc_offset(const py::handle& item, bool is_time) {
#if PY_VERSION_HEX >= 0x030A0000
    PyObject* const zone =
        is_time ? PyDateTime_TIME_GET_TZINFO(item.ptr()) : PyDateTime_DATE_GET_TZINFO(item.ptr());
    if (zone == Py_None) {
        return false;
    }
#else
    (void)is_time;
#endif
    return !item.attr("utcoffset")().is_none();
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
    // Looked up once and kept for the life of the process (never released,
    // so nothing is left to free after the interpreter has gone). Set under
    // the GIL, without a static's lock, which an import could deadlock on.
    static PyObject* decimal_type = nullptr;
    if (decimal_type == nullptr) {
        decimal_type = py::object(py::module_::import("decimal").attr("Decimal")).release().ptr();
    }
    const py::handle decimal_class(decimal_type);
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
            if (has_utc_offset(item, false)) {
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
            if (has_utc_offset(item, true)) {
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

namespace {

using Value = BoundParameters::Value;

// What a value is, as a user wrote it: values of one kind share a marker.
const char* kind_of(const Value& value) {
    switch (value.c_type) {
        case SQL_C_BIT:
            return "bool";
        case SQL_C_SBIGINT:
            return "int";
        case SQL_C_DOUBLE:
            return "float";
        case SQL_C_BINARY:
            return "bytes";
        case SQL_C_TYPE_DATE:
            return "date";
        case SQL_C_TYPE_TIME:
            return "time";
        case SQL_C_TYPE_TIMESTAMP:
            return "datetime";
        default:
            break;
    }
    switch (value.sql_type) {
        case SQL_DECIMAL:
            return "Decimal or int beyond 64 bits";
        case SQL_TYPE_TIME:
            return "time";
        default:
            return "str";
    }
}

bool is_null(const Value& value) {
    return value.indicator == SQL_NULL_DATA;
}

// A time with microseconds travels as text; one without, as a struct. In a
// marker that has both, all go as text.
std::string time_text(const SQL_TIME_STRUCT& t) {
    return util::cat(t.hour < 10 ? "0" : "", t.hour, t.minute < 10 ? ":0" : ":", t.minute,
                     t.second < 10 ? ":0" : ":", t.second);
}

constexpr SQLULEN time_text_size = 15;  // HH:MM:SS.ffffff
constexpr SQLSMALLINT time_text_digits = 6;

void time_as_text(Value& value) {
    value.bytes = time_text(value.fixed.time);
    value.c_type = SQL_C_CHAR;
    value.column_size = time_text_size;
    value.decimal_digits = time_text_digits;
    value.indicator = static_cast<SQLLEN>(value.bytes.size());
}

bool variable(const sql::detail::ParameterColumn& column) {
    return column.c_type == SQL_C_CHAR || column.c_type == SQL_C_BINARY;
}

SQLLEN fixed_width(SQLSMALLINT c_type) {
    switch (c_type) {
        case SQL_C_BIT:
            return sizeof(unsigned char);
        case SQL_C_SBIGINT:
            return sizeof(SQLBIGINT);
        case SQL_C_DOUBLE:
            return sizeof(double);
        case SQL_C_TYPE_DATE:
            return sizeof(SQL_DATE_STRUCT);
        case SQL_C_TYPE_TIME:
            return sizeof(SQL_TIME_STRUCT);
        default:
            return sizeof(SQL_TIMESTAMP_STRUCT);
    }
}

// The markers' columns for rows [first, first + count), one C type each,
// as MarkerTypes left them.
std::vector<sql::detail::ParameterColumn> columns_of(const std::vector<BoundParameters>& rows,
                                                     std::size_t first, std::size_t count,
                                                     std::size_t markers) {
    std::vector<sql::detail::ParameterColumn> columns(markers);
    for (std::size_t m = 0; m < markers; ++m) {
        sql::detail::ParameterColumn& column = columns[m];
        const Value* model = nullptr;
        SQLLEN longest = 1;
        SQLULEN size = 1;
        SQLSMALLINT digits = 0;
        SQLULEN whole_digits = 0;
        for (std::size_t r = first; r < first + count; ++r) {
            const Value& value = rows[r].values()[m];
            if (is_null(value)) {
                continue;
            }
            if (model == nullptr || value.sql_type == SQL_LONGVARCHAR ||
                value.sql_type == SQL_LONGVARBINARY) {
                model = &value;
            }
            longest = std::max(longest, static_cast<SQLLEN>(value.bytes.size()));
            size = std::max(size, value.column_size);
            digits = std::max(digits, value.decimal_digits);
            whole_digits = std::max<SQLULEN>(
                whole_digits, value.column_size - static_cast<SQLULEN>(value.decimal_digits));
        }
        if (model != nullptr) {
            column.c_type = model->c_type;
            column.sql_type = model->sql_type;
        }
        column.decimal_digits = digits;
        column.column_size = column.sql_type == SQL_DECIMAL
                                 ? std::max<SQLULEN>(whole_digits + static_cast<SQLULEN>(digits), 1)
                                 : size;
        column.width = variable(column) ? longest : fixed_width(column.c_type);
        column.values.assign(static_cast<std::size_t>(column.width) * count, 0);
        column.indicators.assign(count, SQL_NULL_DATA);
        for (std::size_t i = 0; i < count; ++i) {
            const Value& value = rows[first + i].values()[m];
            if (is_null(value)) {
                continue;
            }
            const auto width = static_cast<std::size_t>(column.width);
            unsigned char* const at = column.values.data() + i * width;
            if (variable(column)) {
                std::copy(value.bytes.begin(), value.bytes.end(), at);
                column.indicators[i] = static_cast<SQLLEN>(value.bytes.size());
            } else {
                std::memcpy(at, &value.fixed, static_cast<std::size_t>(column.width));
                column.indicators[i] = 0;
            }
        }
    }
    return columns;
}

// The same for a batch's column of time structs, once a later row of its
// marker has shown a time with microseconds.
void times_as_text(sql::detail::ParameterColumn& column, std::size_t rows) {
    std::vector<std::string> texts(rows);
    SQLLEN longest = 1;
    for (std::size_t i = 0; i < rows; ++i) {
        if (column.indicators[i] == SQL_NULL_DATA) {
            continue;
        }
        SQL_TIME_STRUCT t{};
        std::memcpy(&t, column.values.data() + i * static_cast<std::size_t>(column.width),
                    sizeof(t));
        texts[i] = time_text(t);
        longest = std::max(longest, static_cast<SQLLEN>(texts[i].size()));
    }
    column.c_type = SQL_C_CHAR;
    column.column_size = time_text_size;
    column.decimal_digits = time_text_digits;
    column.width = longest;
    column.values.assign(static_cast<std::size_t>(longest) * rows, 0);
    for (std::size_t i = 0; i < rows; ++i) {
        if (column.indicators[i] != SQL_NULL_DATA) {
            std::copy(texts[i].begin(), texts[i].end(),
                      column.values.data() + i * static_cast<std::size_t>(longest));
            column.indicators[i] = static_cast<SQLLEN>(texts[i].size());
        }
    }
}

// The rule that the values of a marker share one type, applied row by row:
// the type of the marker's first value that is not None.
class MarkerTypes {
public:
    // Checks the row numbered `number` (from 1); an int among floats turns
    // into a float.
    void check(BoundParameters& row, std::size_t number) {
        if (row.size() > markers_.size()) {
            markers_.resize(row.size());
        }
        for (std::size_t m = 0; m < row.size(); ++m) {
            Value& value = row.values()[m];
            if (is_null(value)) {
                continue;
            }
            Marker& marker = markers_[m];
            const char* const have = kind_of(value);
            if (marker.want == nullptr) {
                marker.want = have;
            }
            if (std::strcmp(have, "time") == 0 && value.c_type == SQL_C_CHAR) {
                marker.time_text = true;
            }
            if (std::strcmp(have, marker.want) == 0) {
                continue;
            }
            if (std::strcmp(marker.want, "float") == 0 && std::strcmp(have, "int") == 0) {
                const auto number_value = static_cast<double>(value.fixed.integer);
                value.c_type = SQL_C_DOUBLE;
                value.sql_type = SQL_DOUBLE;
                value.column_size = 15;
                value.fixed.real = number_value;
                continue;
            }
            throw sql::DatabaseError(
                util::cat("Row ", number, ", parameter ", m + 1, " (", have,
                          ") differs from the type of the parameter's first value (", marker.want,
                          "): executemany sends one type per parameter"),
                "07006", 0);
        }
    }

    // Whether the times of marker `m` travel as text: one of them has
    // microseconds, which SQL_TIME_STRUCT cannot hold.
    bool times_as_text(std::size_t m) const { return m < markers_.size() && markers_[m].time_text; }

private:
    struct Marker {
        const char* want = nullptr;  // kind_of() the first value that is not None
        bool time_text = false;
    };
    std::vector<Marker> markers_;
};

// Binds the row `i` of a batch from its columns, for one execution.
void bind_row(SQLHSTMT statement, std::vector<sql::detail::ParameterColumn>& columns,
              std::size_t i) {
    SQLUSMALLINT number = 0;
    for (sql::detail::ParameterColumn& column : columns) {
        ++number;
        unsigned char* const value =
            column.values.data() + i * static_cast<std::size_t>(column.width);
        const SQLRETURN code = SQLBindParameter(
            statement, number, SQL_PARAM_INPUT, column.c_type, column.sql_type, column.column_size,
            column.decimal_digits, value, column.width, &column.indicators[i]);
        if (!sql::odbc::succeeded(code)) {
            sql::odbc::throw_statement_error(statement,
                                             util::cat("Unable to bind parameter ", number, ": "));
        }
    }
}

}  // namespace

ParameterRows ParameterRows::from_python(const py::iterable& sequences) {
    ParameterRows out;
    MarkerTypes types;
    // The converted values of the batch being built: the memory of one
    // batch, used again for the next.
    std::vector<BoundParameters> pending;
    const auto flush = [&] {
        if (pending.empty()) {
            return;
        }
        for (BoundParameters& row : pending) {
            for (std::size_t m = 0; m < row.size(); ++m) {
                Value& value = row.values()[m];
                if (value.c_type == SQL_C_TYPE_TIME && types.times_as_text(m)) {
                    time_as_text(value);
                }
            }
        }
        Batch batch;
        batch.first = out.uniform - pending.size();
        batch.rows = pending.size();
        batch.columns = columns_of(pending, 0, pending.size(), out.width);
        out.batches.push_back(std::move(batch));
        pending.clear();
    };
    for (const py::handle parameters : sequences) {
        BoundParameters row = BoundParameters::from_python(parameters);
        ++out.count;
        types.check(row, out.count);
        if (out.count == 1) {
            out.width = row.size();
        }
        if (out.uniform + 1 != out.count) {
            continue;  // after a row of another width: checked, never sent
        }
        if (row.size() != out.width) {
            out.odd_width = row.size();
            continue;
        }
        ++out.uniform;
        pending.push_back(std::move(row));
        if (pending.size() == sql::detail::parameter_batch_rows) {
            flush();
        }
    }
    flush();
    // A time with microseconds found after earlier batches were laid out.
    for (Batch& batch : out.batches) {
        for (std::size_t m = 0; m < batch.columns.size(); ++m) {
            if (batch.columns[m].c_type == SQL_C_TYPE_TIME && types.times_as_text(m)) {
                times_as_text(batch.columns[m], batch.rows);
            }
        }
    }
    return out;
}

long long execute_many(sql::Database& database, const std::string& sql, ParameterRows& rows) {
    using Access = sql::detail::PreparedStatementAccess;
    sql::Query query = Access::prepare(database, sql);
    const auto markers = static_cast<std::size_t>(Access::count_parameters(query));
    const SQLHSTMT statement = sql::detail::QueryStatementAccess::handle(query);
    // The rows before one with a wrong number of values are sent, as they
    // would be one by one.
    const std::size_t sendable = rows.width == markers ? rows.uniform : 0;
    long long total = 0;
    const auto add = [&total](long long changed) {
        total = changed < 0 || total < 0 ? -1 : total + changed;
    };
    if (markers > 0 && sendable > 1 && sql::detail::parameter_arrays_fit(query)) {
        for (ParameterRows::Batch& batch : rows.batches) {
            add(sql::detail::execute_parameter_array(database, query, batch.columns, batch.rows,
                                                     batch.first + 1));
        }
    } else if (sendable > 0) {
        for (ParameterRows::Batch& batch : rows.batches) {
            for (std::size_t i = 0; i < batch.rows; ++i) {
                SQLFreeStmt(statement, SQL_RESET_PARAMS);
                bind_row(statement, batch.columns, i);
                try {
                    Access::execute(database, query);
                } catch (const sql::DatabaseError& error) {
                    sql::detail::throw_for_row(error, batch.first + i + 1);
                }
                SQLLEN changed = -1;
                if (!sql::odbc::succeeded(SQLRowCount(statement, &changed))) {
                    changed = -1;
                }
                add(static_cast<long long>(changed));
                // A statement that gave a result set is executed again only
                // once its cursor is closed.
                SQLFreeStmt(statement, SQL_CLOSE);
            }
        }
    }
    SQLFreeStmt(statement, SQL_RESET_PARAMS);
    if (sendable < rows.count) {
        const std::size_t given = sendable == rows.uniform ? rows.odd_width : rows.width;
        throw sql::DatabaseError(
            util::cat("Row ", sendable + 1, ": The SQL text has ", markers,
                      " parameter markers, but ", given, " parameters were given (", sql, ")"),
            "07001", 0);
    }
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
