#include "typed_rows.h"

#include <datetime.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "odbc/bounded_statement.h"
#include "odbc/odbc_rules.h"
#include "odbc/query_statement.h"
#include "text.h"
#include "typed_fetch.h"
#include "zel/sql/Query.h"

namespace py = pybind11;

namespace zel::python {
namespace {

PyObject* checked(PyObject* object) {
    if (object == nullptr) {
        throw py::error_already_set();
    }
    return object;
}

// Recently made values of one column, for handing out the same object again
// for an equal value: columns repeat values (classification texts, positions
// on a grid, flags), and an object shared saves the memory and the time of
// making one per value. Direct-mapped by a hash of the value; an entry is
// replaced when another value maps onto it. Nothing is allocated to compare:
// a text is compared with the bytes of the cached str itself.
class RecentValues {
public:
    // The float for `value`: a cached one, or a new one, then cached.
    PyObject* real(double value) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof(bits));
        const std::size_t slot = (bits * 0x9E3779B97F4A7C15ULL) >> (64 - slot_bits);
        if (!objects_[slot] || bits_[slot] != bits) {
            objects_[slot] = py::reinterpret_steal<py::object>(checked(PyFloat_FromDouble(value)));
            bits_[slot] = bits;
        }
        return py::object(objects_[slot]).release().ptr();
    }

    // The str for `bytes`: a cached one, or a new one, then cached when it is
    // short and ASCII, whose str holds exactly those bytes.
    PyObject* text(std::string_view bytes) {
        if (bytes.size() > max_cached_text) {
            return to_str(bytes).release().ptr();
        }
        std::uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a
        for (const char c : bytes) {
            hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
        }
        const std::size_t slot = hash >> (64 - slot_bits);
        PyObject* cached = objects_[slot].ptr();
        if (cached != nullptr && PyUnicode_IS_ASCII(cached) &&
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(cached)) == bytes.size() &&
            std::memcmp(PyUnicode_1BYTE_DATA(cached), bytes.data(), bytes.size()) == 0) {
            Py_INCREF(cached);
            return cached;
        }
        py::str made = to_str(bytes);
        objects_[slot] = made;
        return made.release().ptr();
    }

private:
    static constexpr int slot_bits = 8;
    static constexpr std::size_t slots = std::size_t{1} << slot_bits;
    // Longer texts are rarely repeated and cost more to compare.
    static constexpr std::size_t max_cached_text = 64;

    std::array<py::object, slots> objects_;
    std::array<std::uint64_t, slots> bits_{};
};

// Turns the values of one column into Python objects, one row at a time.
class ColumnConverter {
public:
    explicit ColumnConverter(const py::object& decimal_class) : decimal_class_(&decimal_class) {}

    // A new reference to the value of `row` of `values`.
    PyObject* value(const ColumnValues& values, std::size_t row) {
        if (values.is_null[row] != 0) {
            Py_INCREF(Py_None);
            return Py_None;
        }
        switch (values.kind) {
            case ValueKind::integer:
                return checked(PyLong_FromLongLong(values.integers[row]));
            case ValueKind::unsigned_integer:
                return checked(
                    PyLong_FromUnsignedLongLong(static_cast<std::uint64_t>(values.integers[row])));
            case ValueKind::boolean:
                return checked(PyBool_FromLong(static_cast<long>(values.integers[row])));
            case ValueKind::real:
                return recent_->real(values.reals[row]);
            case ValueKind::date: {
                const SQL_TIMESTAMP_STRUCT& t = values.times[row];
                return checked(PyDate_FromDate(t.year, t.month, t.day));
            }
            case ValueKind::time: {
                const SQL_TIMESTAMP_STRUCT& t = values.times[row];
                // The fraction is in nanoseconds; Python keeps microseconds.
                return checked(PyTime_FromTime(t.hour, t.minute, t.second,
                                               static_cast<int>(t.fraction / 1000)));
            }
            case ValueKind::timestamp: {
                const SQL_TIMESTAMP_STRUCT& t = values.times[row];
                // The fraction is in nanoseconds; Python keeps microseconds.
                return checked(PyDateTime_FromDateAndTime(t.year, t.month, t.day, t.hour, t.minute,
                                                          t.second,
                                                          static_cast<int>(t.fraction / 1000)));
            }
            case ValueKind::decimal:
            case ValueKind::text:
            case ValueKind::binary:
                break;
        }
        const std::size_t begin = row == 0 ? 0 : values.ends[row - 1];
        const std::string_view bytes(values.bytes.data() + begin, values.ends[row] - begin);
        if (values.kind == ValueKind::binary) {
            return checked(
                PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
        }
        if (values.kind == ValueKind::decimal) {
            return (*decimal_class_)(to_str(bytes)).release().ptr();
        }
        return recent_->text(bytes);
    }

private:
    const py::object* decimal_class_;
    std::unique_ptr<RecentValues> recent_ = std::make_unique<RecentValues>();
};

}  // namespace

std::vector<ResultColumn> describe_columns(sql::Query& query, std::size_t count) {
    const SQLHSTMT statement = sql::detail::QueryStatementAccess::handle(query);
    std::vector<ResultColumn> columns(count);
    for (std::size_t index = 0; index < count; ++index) {
        ResultColumn& column = columns[index];
        const auto number = static_cast<SQLUSMALLINT>(index + 1);
        SQLSMALLINT name_length = 0;
        // Most names fit the first buffer. A name that fills it is asked for
        // again in a larger one: some drivers tell the length of what they
        // wrote rather than of the whole name.
        constexpr std::size_t longest = 32767;  // what SQLSMALLINT can tell
        std::string name(256, '\0');
        SQLRETURN code = SQL_ERROR;
        for (;;) {
            code = SQLDescribeCol(statement, number, reinterpret_cast<SQLCHAR*>(name.data()),
                                  static_cast<SQLSMALLINT>(name.size()), &name_length,
                                  &column.sql_type, &column.size, &column.decimal_digits,
                                  &column.nullable);
            const auto told = static_cast<std::size_t>(std::max<SQLSMALLINT>(name_length, 0));
            if (!sql::odbc::succeeded(code) || told + 1 < name.size() || name.size() >= longest) {
                name.resize(std::min(told, name.size() - 1));
                break;
            }
            name.assign(std::min(std::max(told + 1, name.size() * 2), longest), '\0');
        }
        column.name = std::move(name);
        if (!sql::odbc::succeeded(code)) {
            sql::odbc::throw_statement_error(
                statement, "Unable to describe column " + std::to_string(number) + ": ");
        }
    }
    return columns;
}

long long changed_rows(sql::Query& query) {
    SQLLEN count = -1;
    if (!sql::odbc::succeeded(
            SQLRowCount(sql::detail::QueryStatementAccess::handle(query), &count))) {
        return -1;
    }
    return count < 0 ? -1 : static_cast<long long>(count);
}

struct RowConverter::Columns {
    explicit Columns(std::size_t count)
        : decimal_class(py::module_::import("decimal").attr("Decimal")) {
        converters.reserve(count);
        for (std::size_t column = 0; column < count; ++column) {
            converters.emplace_back(decimal_class);
        }
    }

    py::object decimal_class;  // the converters keep its address
    std::vector<ColumnConverter> converters;
};

RowConverter::RowConverter(std::size_t columns) {
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
        checked(reinterpret_cast<PyObject*>(PyDateTimeAPI));
    }
    columns_ = std::make_unique<Columns>(columns);
}

RowConverter::~RowConverter() = default;
RowConverter::RowConverter(RowConverter&&) noexcept = default;
RowConverter& RowConverter::operator=(RowConverter&&) noexcept = default;

void RowConverter::append(const RowChunk& chunk, std::size_t begin, std::size_t end,
                          py::list& rows) {
    std::vector<ColumnConverter>& converters = columns_->converters;
    const std::size_t columns = chunk.columns.size();
    for (std::size_t row = begin; row < end; ++row) {
        py::object tuple = py::reinterpret_steal<py::object>(
            checked(PyTuple_New(static_cast<Py_ssize_t>(columns))));
        for (std::size_t column = 0; column < columns; ++column) {
            PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(column),
                             converters[column].value(chunk.columns[column], row));
        }
        // The values are numbers, texts, bytes, dates or None, which refer
        // to no other object: the tuple can never be part of a cycle. The
        // garbage collector would find that out itself, after walking every
        // tuple once more at its next collections.
        PyObject_GC_UnTrack(tuple.ptr());
        if (PyList_Append(rows.ptr(), tuple.ptr()) != 0) {
            throw py::error_already_set();
        }
    }
}

StatementResult run_statement(LockedDatabase& database, const std::string& sql,
                              const BoundParameters& parameters) {
    refuse_nul(sql, "sql");
    // Shared with the helper that runs the statement, which may outlive a
    // timeout; bound there, on its own copy.
    auto bound = std::make_shared<BoundParameters>(parameters);
    // Read whole under the wait limit, then turned into Python objects: a
    // read that is given up leaves nothing behind that Python would have to
    // wait for.
    return database.use([&](sql::Database& db) {
        return sql::detail::run_statement_bounded<StatementResult>(
            db, [sql, bound](sql::Database& on) {
                StatementResult out;
                sql::Query query = execute_statement(on, sql, *bound);
                TypedFetch fetch(query);
                out.columns = describe_columns(query, fetch.columns());
                if (out.columns.empty()) {
                    out.row_count = changed_rows(query);
                    return out;
                }
                RowChunk chunk;
                std::size_t rows = 0;
                while (fetch.read_chunk(chunk, chunk_rows, chunk_bytes)) {
                    rows += chunk.rows;
                    out.chunks.push_back(std::move(chunk));
                    chunk = RowChunk{};
                }
                out.row_count = static_cast<long long>(rows);
                return out;
            });
    });
}

py::list to_python_rows(StatementResult& result) {
    RowConverter converter(result.columns.size());
    py::list rows;
    for (RowChunk& chunk : result.chunks) {
        converter.append(chunk, 0, chunk.rows, rows);
        chunk = RowChunk{};  // its buffers are not needed any more
    }
    return rows;
}

py::list query_typed_rows(LockedDatabase& database, const std::string& sql,
                          const BoundParameters& parameters) {
    StatementResult result = run_statement(database, sql, parameters);
    return to_python_rows(result);
}

}  // namespace zel::python
