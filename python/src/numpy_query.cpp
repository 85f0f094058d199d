// Database.query_numpy.

#include "numpy_query.h"

#include <pybind11/numpy.h>
#include <sql.h>
#include <sqlext.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "numpy_columns.h"
#include "odbc/bounded_statement.h"
#include "parameters.h"
#include "text.h"
#include "zel/Error.h"
#include "zel/sql/Query.h"

namespace py = pybind11;

namespace zel::python {
namespace {

using numpy_columns::Column;
using numpy_columns::column_text;
using numpy_columns::Kind;
using numpy_columns::ReadResult;

// An array that owns `values` without a copy.
template <typename T>
py::array adopt(std::vector<T>&& values) {
    if (values.empty()) {
        return py::array_t<T>(0);
    }
    auto* owner = new std::vector<T>(std::move(values));
    py::capsule capsule(owner, [](void* pointer) { delete static_cast<std::vector<T>*>(pointer); });
    return py::array_t<T>(static_cast<py::ssize_t>(owner->size()), owner->data(), capsule);
}

constexpr std::int64_t exact_double_limit = std::int64_t{1} << 53;

py::array integer_array(std::size_t index, Column& column) {
    if (!column.has_null) {
        return adopt(std::move(column.numbers));
    }
    // float64 with NaN for NULL, converted in place: both are 8 bytes.
    std::vector<std::int64_t>& numbers = column.numbers;
    for (std::size_t row = 0; row < numbers.size(); ++row) {
        double value = std::numeric_limits<double>::quiet_NaN();
        if (column.nulls[row] == 0) {
            const std::int64_t integer = numbers[row];
            value = static_cast<double>(integer);
            if ((integer > exact_double_limit || integer < -exact_double_limit) &&
                (value >= 9223372036854775808.0 || static_cast<std::int64_t>(value) != integer)) {
                throw Error(column_text(index, column) + " holds NULL and " +
                            std::to_string(integer) +
                            ", which float64 cannot hold exactly; select it as text to read it");
            }
        }
        std::memcpy(&numbers[row], &value, sizeof(value));
    }
    auto* owner = new std::vector<std::int64_t>(std::move(numbers));
    py::capsule capsule(
        owner, [](void* pointer) { delete static_cast<std::vector<std::int64_t>*>(pointer); });
    return py::array_t<double>(static_cast<py::ssize_t>(owner->size()),
                               reinterpret_cast<const double*>(owner->data()), capsule);
}

py::array real_array(Column& column) {
    std::vector<std::int64_t>& numbers = column.numbers;
    if (column.has_null) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (std::size_t row = 0; row < numbers.size(); ++row) {
            if (column.nulls[row] != 0) {
                std::memcpy(&numbers[row], &nan, sizeof(nan));
            }
        }
    }
    if (numbers.empty()) {
        return py::array_t<double>(0);
    }
    auto* owner = new std::vector<std::int64_t>(std::move(numbers));
    py::capsule capsule(
        owner, [](void* pointer) { delete static_cast<std::vector<std::int64_t>*>(pointer); });
    return py::array_t<double>(static_cast<py::ssize_t>(owner->size()),
                               reinterpret_cast<const double*>(owner->data()), capsule);
}

py::array object_array(const Column& column, std::size_t rows) {
    py::array array(py::dtype("O"), std::vector<py::ssize_t>{static_cast<py::ssize_t>(rows)});
    auto** slots = static_cast<PyObject**>(array.mutable_data());
    std::size_t begin = 0;
    for (std::size_t row = 0; row < rows; ++row) {
        const std::size_t end = column.ends[row];
        PyObject* value = nullptr;
        if (column.nulls[row] != 0) {
            value = Py_None;
            Py_INCREF(value);
        } else if (column.kind == Kind::binary) {
            value = PyBytes_FromStringAndSize(column.bytes.data() + begin,
                                              static_cast<Py_ssize_t>(end - begin));
        } else {
            value = PyUnicode_DecodeUTF8(column.bytes.data() + begin,
                                         static_cast<Py_ssize_t>(end - begin), "surrogateescape");
        }
        if (value == nullptr) {
            throw py::error_already_set();
        }
        PyObject* old = slots[row];
        slots[row] = value;
        Py_XDECREF(old);
        begin = end;
    }
    return array;
}

py::dict to_arrays(ReadResult& result) {
    py::dict arrays;
    for (std::size_t i = 0; i < result.columns.size(); ++i) {
        Column& column = result.columns[i];
        py::str name = to_str(column.name);
        switch (column.kind) {
            case Kind::integer:
                arrays[name] = integer_array(i, column);
                break;
            case Kind::real:
                arrays[name] = real_array(column);
                break;
            case Kind::text:
            case Kind::binary:
                arrays[name] = object_array(column, result.rows);
                // The bytes are no longer needed while the next column is
                // turned into objects.
                std::string().swap(column.bytes);
                std::vector<std::size_t>().swap(column.ends);
                break;
        }
    }
    return arrays;
}

}  // namespace

void bind_query_numpy(py::class_<LockedDatabase>& cls) {
    cls.def(
        "query_numpy",
        [](LockedDatabase& self, const Text& sql, const py::object& parameters) {
            refuse_nul(sql.bytes, "sql");
            // Shared with the helper that runs the statement, which may
            // outlive a timeout.
            auto bound =
                std::make_shared<BoundParameters>(BoundParameters::from_python(parameters));
            ReadResult result = self.use([&](sql::Database& database) {
                return sql::detail::run_statement_bounded<ReadResult>(
                    database, [text = sql.bytes, bound](sql::Database& on) {
                        sql::Query query = execute_statement(on, text, *bound);
                        return numpy_columns::read_columns(query);
                    });
            });
            return to_arrays(result);
        },
        py::arg("sql"), py::arg("parameters") = py::tuple(),
        "Every row of `sql` as columns: a dict of column name -> NumPy array, in column "
        "order. Integer columns give int64 arrays, or float64 with NaN for NULL when the "
        "column holds a NULL; REAL, FLOAT, DOUBLE, DECIMAL and NUMERIC columns float64 with NaN "
        "for NULL; all other columns object arrays of str (bytes for binary columns), None for "
        "NULL. A statement without a result set is executed and gives {}. Raises Error rather "
        "than cut or make up a value: for a value that is not a number of its column's kind, "
        "an integer beyond int64 (beside a NULL: one that float64 cannot hold exactly), a "
        "number beyond float64, a date or time that Python's datetime types cannot hold, and "
        "for two columns of the same name; DatabaseError when the "
        "driver refuses the statement or warns about a value. The rows are fetched without the "
        "GIL; many rows per fetch when every column is a number. Waits for each answer of the "
        "database at most wait_limit, as query(). Raises ValueError for an `sql` with a NUL, "
        "before anything is sent. `parameters`: the values of the ? markers, sent as bound "
        "parameters, as query() takes them.");
}

}  // namespace zel::python
