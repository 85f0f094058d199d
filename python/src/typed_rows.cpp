#include "typed_rows.h"

#include <datetime.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
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
constexpr std::size_t chunk_rows = 1024;
constexpr std::size_t chunk_bytes = 256 * 1024;

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
        return recent_->text(bytes);
    }

private:
    const py::object* decimal_class_;
    std::unique_ptr<RecentValues> recent_ = std::make_unique<RecentValues>();
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

}  // namespace

py::list query_typed_rows(LockedDatabase& database, const std::string& sql) {
    return typed_rows_of(database, [&sql](sql::Database& db) { return db.send_query(sql); });
}

py::list typed_rows_of(LockedDatabase& database,
                       const std::function<sql::Query(sql::Database&)>& execute) {
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
        checked(reinterpret_cast<PyObject*>(PyDateTimeAPI));
    }
    const py::object decimal_class = py::module_::import("decimal").attr("Decimal");
    py::list rows;
    database.use([&](sql::Database& db) {
        sql::Query query = execute(db);
        TypedFetch fetch(query);
        RowChunk chunk;
        Converters converters;
        while (fetch.read_chunk(chunk, chunk_rows, chunk_bytes)) {
            const py::gil_scoped_acquire with_gil;
            if (converters.columns.empty()) {
                converters.columns.reserve(fetch.columns());
                for (std::size_t column = 0; column < fetch.columns(); ++column) {
                    converters.columns.emplace_back(decimal_class);
                }
            }
            append_rows(chunk, converters.columns, rows);
        }
    });
    return rows;
}

}  // namespace zel::python
