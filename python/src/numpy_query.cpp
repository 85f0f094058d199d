// Database.query_numpy.

#include "numpy_query.h"

#include <pybind11/numpy.h>
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "odbc/odbc_rules.h"
#include "odbc/query_statement.h"
#include "odbc/whole_value.h"
#include "text.h"
#include "zel/Error.h"
#include "zel/sql/Query.h"

namespace py = pybind11;

namespace zel::python {
namespace {

using sql::odbc::succeeded;

// About this many bytes of bound buffers per fetch: enough rows to make the
// call overhead small, few enough to stay in the cache.
constexpr std::size_t rowset_bytes = std::size_t{1} << 20;
// A text column is bound when its values fit in this many bytes; larger or
// unknown ones are read with SQLGetData, one row per fetch.
constexpr SQLLEN max_width = 4096;

enum class Kind { integer, real, text, binary };

struct Column {
    std::string name;
    Kind kind = Kind::text;
    SQLLEN width = 0;  // bytes of one bound value; 0: read with SQLGetData

    // What was read, compact: numbers in `numbers` (int64 or double bits),
    // texts one after another in `bytes` with `ends` the end of each.
    std::vector<std::int64_t> numbers;
    std::vector<char> nulls;  // one per row
    bool has_null = false;
    std::string bytes;
    std::vector<std::size_t> ends;

    // The bound rowset buffers.
    std::vector<char> buffer;
    std::vector<SQLLEN> indicators;
};

using sql::odbc::throw_statement_error;

std::string column_text(std::size_t index, const Column& column) {
    return "Column " + std::to_string(index + 1) + " (\"" + column.name + "\")";
}

Kind kind_of(SQLSMALLINT type) {
    switch (type) {
        case SQL_TINYINT:
        case SQL_SMALLINT:
        case SQL_INTEGER:
        case SQL_BIGINT:
            return Kind::integer;
        case SQL_REAL:
        case SQL_FLOAT:
        case SQL_DOUBLE:
        case SQL_DECIMAL:
        case SQL_NUMERIC:
            return Kind::real;
        case SQL_BINARY:
        case SQL_VARBINARY:
        case SQL_LONGVARBINARY:
            return Kind::binary;
        default:
            return Kind::text;
    }
}

// Bytes for one bound value of a column of `kind` and declared size `size`:
// texts four bytes per character in UTF-8, room for a sign, a decimal point
// and an exponent, and the NUL; numbers, read as texts, at least 64, which
// any int64 and any double written out shortest fit; 0 when not bound.
SQLLEN width_for(Kind kind, SQLULEN size) {
    switch (kind) {
        case Kind::integer:
            return 64;
        case Kind::real:
            return size == 0 || size > static_cast<SQLULEN>(max_width - 16)
                       ? 64
                       : std::max<SQLLEN>(64, static_cast<SQLLEN>(size) + 16);
        case Kind::binary:
            return size == 0 || size > static_cast<SQLULEN>(max_width)
                       ? 0
                       : std::max<SQLLEN>(1, static_cast<SQLLEN>(size));
        case Kind::text:
            break;
    }
    if (size == 0 || size > static_cast<SQLULEN>((max_width - 16) / 4)) {
        return 0;
    }
    return std::max<SQLLEN>(32, static_cast<SQLLEN>(size) * 4 + 16);
}

// Numbers are read as the driver's texts and parsed here: drivers convert
// to SQL_C_SBIGINT and SQL_C_DOUBLE without a word about what does not fit
// (sqliteodbc gives 1 for 1.5 and NULL for "abc" in an INTEGER column),
// while a text that is not exactly a number of its column's kind is refused
// below.
SQLSMALLINT c_type_of(const Column& column) {
    return column.kind == Kind::binary ? SQL_C_BINARY : SQL_C_CHAR;
}

// The text of a value for a message: at most 40 bytes of it.
std::string quoted(std::string_view text) {
    return "\"" + std::string(text.substr(0, 40)) + (text.size() > 40 ? "...\"" : "\"");
}

std::int64_t parse_integer(std::string_view text, std::size_t index, const Column& column) {
    std::int64_t value = 0;
    const char* const last = text.data() + text.size();
    const auto [end, error] = std::from_chars(text.data(), last, value);
    if (error == std::errc::result_out_of_range) {
        throw Error(column_text(index, column) + " holds " + quoted(text) +
                    ", more than int64 holds; select it as text to read it");
    }
    if (error != std::errc() || end != last) {
        throw Error(column_text(index, column) + ", of an integer type, holds " + quoted(text) +
                    ", which is not an integer");
    }
    return value;
}

double parse_real(std::string_view text, std::size_t index, const Column& column) {
    double value = 0;
    const char* const last = text.data() + text.size();
    const auto [end, error] = std::from_chars(text.data(), last, value);
    if (error == std::errc::result_out_of_range) {
        throw Error(column_text(index, column) + " holds " + quoted(text) +
                    ", beyond what float64 holds; select it as text to read it");
    }
    if (error != std::errc() || end != last) {
        throw Error(column_text(index, column) + ", of a numeric type, holds " + quoted(text) +
                    ", which is not a number");
    }
    return value;
}

std::vector<Column> describe_columns(sql::Query& query, SQLHSTMT statement, int count) {
    std::vector<Column> columns(static_cast<std::size_t>(count));
    std::map<std::string, int> seen;
    for (int number = 1; number <= count; ++number) {
        Column& column = columns[static_cast<std::size_t>(number - 1)];
        column.name = query.get_column_name(number);
        SQLSMALLINT type = 0;
        SQLULEN size = 0;
        if (!succeeded(SQLDescribeCol(statement, static_cast<SQLUSMALLINT>(number), nullptr, 0,
                                      nullptr, &type, &size, nullptr, nullptr))) {
            throw_statement_error(statement,
                                  "Unable to describe column " + std::to_string(number) + ": ");
        }
        column.kind = kind_of(type);
        column.width = width_for(column.kind, size);
        // One array per name: a second column of the same name would hide
        // the first.
        const auto [earlier, fresh] = seen.emplace(column.name, number);
        if (!fresh) {
            throw Error("Columns " + std::to_string(earlier->second) + " and " +
                        std::to_string(number) + " are both named \"" + column.name +
                        "\"; give each column a name of its own (AS)");
        }
    }
    return columns;
}

// Fetches every row of an executed statement into the columns' compact
// buffers. The bindings and statement attributes are undone when this object
// dies: the Query must never write into freed buffers.
class RowsetReader {
public:
    RowsetReader(SQLHSTMT statement, std::vector<Column>& columns, std::string sql)
        : statement_(statement), columns_(columns), sql_(std::move(sql)) {
        // Rows come many at a time only when no value can be longer than
        // its buffer: numbers alone.
        bool only_numbers = true;
        std::size_t row_bytes = 0;
        for (const Column& column : columns_) {
            only_numbers =
                only_numbers && (column.kind == Kind::integer || column.kind == Kind::real);
            row_bytes += static_cast<std::size_t>(column.width) + sizeof(SQLLEN);
        }
        rows_ = only_numbers ? std::max<std::size_t>(1, rowset_bytes / row_bytes) : 1;
        statuses_.resize(rows_);
        set_attribute(SQL_ATTR_ROW_BIND_TYPE, SQL_BIND_BY_COLUMN);
        set_attribute(SQL_ATTR_ROW_ARRAY_SIZE, rows_);
        set_pointer(SQL_ATTR_ROW_STATUS_PTR, statuses_.data());
        set_pointer(SQL_ATTR_ROWS_FETCHED_PTR, &fetched_);
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            Column& column = columns_[i];
            if (column.width == 0) {
                continue;
            }
            column.buffer.resize(rows_ * static_cast<std::size_t>(column.width));
            column.indicators.resize(rows_);
            bound_ = true;
            if (!succeeded(SQLBindCol(statement_, static_cast<SQLUSMALLINT>(i + 1),
                                      c_type_of(column), column.buffer.data(), column.width,
                                      column.indicators.data()))) {
                throw_statement_error(statement_,
                                      "Unable to bind to column " + std::to_string(i + 1) + ": ");
            }
        }
    }

    RowsetReader(const RowsetReader&) = delete;
    RowsetReader& operator=(const RowsetReader&) = delete;

    ~RowsetReader() {
        if (bound_) {
            SQLFreeStmt(statement_, SQL_UNBIND);
        }
        SQLSetStmtAttr(statement_, SQL_ATTR_ROW_STATUS_PTR, nullptr, 0);
        SQLSetStmtAttr(statement_, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0);
        SQLSetStmtAttr(statement_, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(1), 0);
    }

    // Fetches and takes the next rowset; false at the end of the rows.
    bool next() {
        fetched_ = 0;
        const SQLRETURN code = SQLFetch(statement_);
        if (code == SQL_NO_DATA) {
            return false;
        }
        if (!succeeded(code)) {
            throw_statement_error(statement_, "Fetch failed: ", " (" + sql_ + ")");
        }
        if (code == SQL_SUCCESS_WITH_INFO) {
            refuse_warnings();
        }
        for (std::size_t row = 0; row < fetched_; ++row) {
            const SQLUSMALLINT status = statuses_[row];
            if (status != SQL_ROW_SUCCESS && status != SQL_ROW_SUCCESS_WITH_INFO) {
                throw Error("Fetch failed: row " + std::to_string(rows_read_ + row + 1) +
                            " came with status " + std::to_string(status) + " (" + sql_ + ")");
            }
            take_row(row);
        }
        rows_read_ += fetched_;
        return true;
    }

private:
    void set_attribute(SQLINTEGER attribute, SQLULEN value) {
        if (!succeeded(
                SQLSetStmtAttr(statement_, attribute, reinterpret_cast<SQLPOINTER>(value), 0))) {
            throw_statement_error(statement_, "Unable to set attribute: ");
        }
    }

    void set_pointer(SQLINTEGER attribute, void* pointer) {
        if (!succeeded(SQLSetStmtAttr(statement_, attribute, pointer, 0))) {
            throw_statement_error(statement_, "Unable to set attribute: ");
        }
    }

    // A cut text (01004) is read again whole; any other warning of a fetch
    // (a number cut or rounded, 01S07, or a row in error) means a value did
    // not arrive as it is stored.
    void refuse_warnings() {
        for (SQLSMALLINT record = 1;; ++record) {
            SQLCHAR state[6] = {};
            SQLINTEGER native = 0;
            SQLSMALLINT length = 0;
            const SQLRETURN code = SQLGetDiagRec(SQL_HANDLE_STMT, statement_, record, state,
                                                 &native, nullptr, 0, &length);
            if (!succeeded(code)) {
                return;
            }
            if (std::memcmp(state, "01004", 5) != 0) {
                throw_statement_error(statement_, "Fetch warned: ", " (" + sql_ + ")");
            }
        }
    }

    void take_row(std::size_t row) {
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            Column& column = columns_[i];
            const int number = static_cast<int>(i + 1);
            if (column.width == 0) {
                take_unbound(i, number);
                continue;
            }
            const SQLLEN indicator = column.indicators[row];
            const bool is_null = indicator == SQL_NULL_DATA;
            column.nulls.push_back(static_cast<char>(is_null));
            column.has_null = column.has_null || is_null;
            const char* const bound =
                column.buffer.data() + row * static_cast<std::size_t>(column.width);
            const SQLLEN room = column.width - (column.kind == Kind::binary ? 0 : 1);
            const bool whole = indicator >= 0 && indicator <= room;
            if (column.kind == Kind::integer || column.kind == Kind::real) {
                std::int64_t value = 0;
                if (!is_null) {
                    std::string_view text(bound, whole ? static_cast<std::size_t>(indicator) : 0);
                    if (!whole) {
                        if (rows_ > 1) {
                            throw Error(column_text(i, column) + " holds a number of more than " +
                                        std::to_string(room) +
                                        " characters; select it as text to read it");
                        }
                        long_number_.clear();
                        complete(i, number, indicator, long_number_);
                        text = long_number_;
                    }
                    if (column.kind == Kind::integer) {
                        value = parse_integer(text, i, column);
                    } else {
                        const double real = parse_real(text, i, column);
                        std::memcpy(&value, &real, sizeof(real));
                    }
                }
                column.numbers.push_back(value);
                continue;
            }
            if (!is_null) {
                if (whole) {
                    column.bytes.append(bound, static_cast<std::size_t>(indicator));
                } else {
                    complete(i, number, indicator, column.bytes);
                }
            }
            column.ends.push_back(column.bytes.size());
        }
    }

    void take_unbound(std::size_t index, int number) {
        Column& column = columns_[index];
        const bool is_null =
            !sql::odbc::append_whole_value(statement_, number, c_type_of(column), column.bytes);
        column.nulls.push_back(static_cast<char>(is_null));
        column.has_null = column.has_null || is_null;
        column.ends.push_back(column.bytes.size());
    }

    // A value longer than its buffer, or of a length the driver did not tell
    // (SQL_NO_TOTAL): read again, whole, with SQLGetData; rows then come one
    // at a time (texts are never fetched many rows at once). psqlODBC and sqliteodbc start
    // SQLGetData of a bound column again at the value's beginning; a driver
    // that does not is caught by the length check, never passed off as a
    // shorter value.
    void complete(std::size_t index, int number, SQLLEN bound_indicator, std::string& out) {
        const Column& column = columns_[index];
        const std::size_t start = out.size();
        const bool not_null =
            sql::odbc::append_whole_value(statement_, number, c_type_of(column), out);
        const std::size_t length = out.size() - start;
        if (!not_null ||
            (bound_indicator >= 0 && length != static_cast<std::size_t>(bound_indicator))) {
            throw Error(column_text(index, column) + " read " +
                        (not_null ? std::to_string(length) + " bytes" : std::string("NULL")) +
                        " with SQLGetData where the fetch announced " +
                        (bound_indicator >= 0 ? std::to_string(bound_indicator) + " bytes"
                                              : std::string("more than the buffer")));
        }
    }

    SQLHSTMT statement_;
    std::vector<Column>& columns_;
    std::string sql_;
    std::size_t rows_ = 1;  // rows per fetch
    std::string long_number_;
    std::vector<SQLUSMALLINT> statuses_;
    SQLULEN fetched_ = 0;
    std::size_t rows_read_ = 0;
    bool bound_ = false;
};

struct ReadResult {
    std::vector<Column> columns;
    std::size_t rows = 0;
};

// Every row of `sql`, read without touching a Python object.
ReadResult read_columns(sql::Database& database, const std::string& sql) {
    ReadResult result;
    sql::Query query = database.send_query(sql);
    const int count = query.get_num_result_columns();
    if (count <= 0) {
        return result;
    }
    const SQLHSTMT statement = sql::detail::QueryStatementAccess::handle(query);
    result.columns = describe_columns(query, statement, count);
    {
        RowsetReader reader(statement, result.columns, sql);
        while (reader.next()) {
        }
    }
    for (Column& column : result.columns) {
        std::vector<char>().swap(column.buffer);
        std::vector<SQLLEN>().swap(column.indicators);
    }
    result.rows = result.columns.front().nulls.size();
    return result;
}

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
        [](LockedDatabase& self, const Text& sql) {
            ReadResult result = self.use(
                [&](sql::Database& database) { return read_columns(database, sql.bytes); });
            return to_arrays(result);
        },
        py::arg("sql"),
        "Every row of `sql` as columns: a dict of column name -> NumPy array, in column "
        "order. Integer columns give int64 arrays, or float64 with NaN for NULL when the "
        "column holds a NULL; REAL, FLOAT, DOUBLE, DECIMAL and NUMERIC columns float64 with NaN "
        "for NULL; all other columns object arrays of str (bytes for binary columns), None for "
        "NULL. A statement without a result set is executed and gives {}. Raises Error rather "
        "than cut or make up a value: for a value that is not a number of its column's kind, "
        "an integer beyond int64 (beside a NULL: one that float64 cannot hold exactly), a "
        "number beyond float64, and for two columns of the same name; DatabaseError when the "
        "driver refuses the statement or warns about a value. The rows are fetched without the "
        "GIL; many rows per fetch when every column is a number. Waits for its login under "
        "wait_limit and for its rows as long as the driver does, as query().");
}

}  // namespace zel::python
