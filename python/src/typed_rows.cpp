#include "typed_rows.h"

#include <datetime.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "text.h"
#include "typed_fetch.h"
#include "zel/sql/Query.h"

namespace py = pybind11;

namespace zel::python {
namespace {

// A chunk ends after this many rows or this many bytes of values, whichever
// comes first: large enough that the GIL changes hands rarely, small enough
// that the buffers stay small beside the Python objects made of them.
constexpr std::size_t chunk_rows = 4096;
constexpr std::size_t chunk_bytes = 1 << 20;

PyObject* checked(PyObject* object) {
    if (object == nullptr) {
        throw py::error_already_set();
    }
    return object;
}

// Turns the values of one column into Python objects, one row at a time. A
// text equal to the one above it in the column gives the same str object:
// the classification columns of a facility repeat their few values over
// thousands of rows, and sharing them saves an object per value.
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
                return checked(PyFloat_FromDouble(values.reals[row]));
            case ValueKind::date: {
                const SQL_TIMESTAMP_STRUCT& t = values.times[row];
                return checked(PyDate_FromDate(t.year, t.month, t.day));
            }
            case ValueKind::time: {
                const SQL_TIMESTAMP_STRUCT& t = values.times[row];
                return checked(PyTime_FromTime(t.hour, t.minute, t.second, 0));
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
        if (!last_text_ || bytes != last_bytes_) {
            last_text_ = to_str(bytes);
            last_bytes_.assign(bytes);
        }
        return py::object(last_text_).release().ptr();
    }

private:
    const py::object* decimal_class_;
    py::object last_text_;
    std::string last_bytes_;
};

// The converters of a query's columns, made and used with the GIL held, in a
// read that runs without it: the texts they share are let go with the GIL,
// however the read ends.
struct Converters {
    std::vector<ColumnConverter> columns;

    Converters() = default;
    Converters(const Converters&) = delete;
    Converters& operator=(const Converters&) = delete;
    ~Converters() {
        if (!columns.empty()) {
            const py::gil_scoped_acquire with_gil;
            columns.clear();
        }
    }
};

void append_rows(const RowChunk& chunk, std::vector<ColumnConverter>& converters, py::list& rows) {
    const std::size_t columns = chunk.columns.size();
    for (std::size_t row = 0; row < chunk.rows; ++row) {
        py::object tuple = py::reinterpret_steal<py::object>(
            checked(PyTuple_New(static_cast<Py_ssize_t>(columns))));
        for (std::size_t column = 0; column < columns; ++column) {
            PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(column),
                             converters[column].value(chunk.columns[column], row));
        }
        if (PyList_Append(rows.ptr(), tuple.ptr()) != 0) {
            throw py::error_already_set();
        }
    }
}

}  // namespace

py::list query_typed_rows(LockedDatabase& database, const std::string& sql) {
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
        checked(reinterpret_cast<PyObject*>(PyDateTimeAPI));
    }
    const py::object decimal_class = py::module_::import("decimal").attr("Decimal");
    py::list rows;
    database.use([&](sql::Database& db) {
        sql::Query query = db.send_query(sql);
        TypedFetch fetch(query);
        RowChunk chunk;
        Converters converters;
        while (fetch.read_chunk(chunk, chunk_rows, chunk_bytes)) {
            const py::gil_scoped_acquire with_gil;
            if (converters.columns.empty()) {
                converters.columns.resize(fetch.columns(), ColumnConverter(decimal_class));
            }
            append_rows(chunk, converters.columns, rows);
        }
    });
    return rows;
}

}  // namespace zel::python
