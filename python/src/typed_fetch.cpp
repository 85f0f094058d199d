#include "typed_fetch.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "odbc/odbc_rules.h"
#include "odbc/query_statement.h"
#include "odbc/whole_value.h"
#include "zel/Error.h"

namespace zel::python {
namespace {

namespace odbc = sql::odbc;

// A character column whose values as text fit in this many bytes is bound;
// a column of unknown or larger declared size is read with SQLGetData alone,
// since drivers differ in what SQLGetData gives for a bound column's cut value.
constexpr SQLLEN max_width = 4096;

using odbc::throw_statement_error;

ValueKind kind_of(SQLSMALLINT sql_type, bool is_unsigned) {
    switch (sql_type) {
        case SQL_TINYINT:
        case SQL_SMALLINT:
        case SQL_INTEGER:
            return ValueKind::integer;
        case SQL_BIGINT:
            return is_unsigned ? ValueKind::unsigned_integer : ValueKind::integer;
        case SQL_BIT:
            return ValueKind::boolean;
        case SQL_REAL:
        case SQL_FLOAT:
        case SQL_DOUBLE:
            return ValueKind::real;
        case SQL_DECIMAL:
        case SQL_NUMERIC:
            return ValueKind::decimal;
        case SQL_BINARY:
        case SQL_VARBINARY:
        case SQL_LONGVARBINARY:
            return ValueKind::binary;
        case SQL_TYPE_DATE:
        case SQL_DATE:
            return ValueKind::date;
        case SQL_TYPE_TIME:
        case SQL_TIME:
            return ValueKind::time;
        case SQL_TYPE_TIMESTAMP:
        case SQL_TIMESTAMP:
            return ValueKind::timestamp;
        default:
            // Character types, and whatever else a driver reports (GUIDs,
            // intervals, its own types), as the driver writes them.
            return ValueKind::text;
    }
}

SQLSMALLINT c_type_of(ValueKind kind) {
    switch (kind) {
        case ValueKind::integer:
            return SQL_C_SBIGINT;
        case ValueKind::unsigned_integer:
            return SQL_C_UBIGINT;
        case ValueKind::boolean:
            return SQL_C_BIT;
        case ValueKind::real:
            return SQL_C_DOUBLE;
        case ValueKind::binary:
            return SQL_C_BINARY;
        case ValueKind::date:
            return SQL_C_TYPE_DATE;
        case ValueKind::time:
            return SQL_C_TYPE_TIME;
        case ValueKind::timestamp:
            return SQL_C_TYPE_TIMESTAMP;
        case ValueKind::decimal:
        case ValueKind::text:
            break;
    }
    return SQL_C_CHAR;
}

// The bytes of one bound value of `kind` in a column of declared size
// `size`; 0: read with SQLGetData.
SQLLEN width_for(ValueKind kind, SQLULEN size) {
    switch (kind) {
        case ValueKind::integer:
        case ValueKind::unsigned_integer:
        case ValueKind::real:
            return 8;
        case ValueKind::boolean:
            return 1;
        case ValueKind::date:
            return sizeof(SQL_DATE_STRUCT);
        case ValueKind::time:
            return sizeof(SQL_TIME_STRUCT);
        case ValueKind::timestamp:
            return sizeof(SQL_TIMESTAMP_STRUCT);
        case ValueKind::binary:
            return size == 0 || size > static_cast<SQLULEN>(max_width)
                       ? 0
                       : std::max<SQLLEN>(16, static_cast<SQLLEN>(size));
        case ValueKind::decimal:
        case ValueKind::text:
            break;
    }
    // As text: four bytes per character in UTF-8, room for a sign, a decimal
    // point and an exponent, and the terminating NUL.
    if (size == 0 || size > static_cast<SQLULEN>((max_width - 16) / 4)) {
        return 0;
    }
    return std::max<SQLLEN>(32, static_cast<SQLLEN>(size) * 4 + 16);
}

void push_null(ColumnValues& out) {
    out.is_null.push_back(1);
    switch (out.kind) {
        case ValueKind::integer:
        case ValueKind::unsigned_integer:
        case ValueKind::boolean:
            out.integers.push_back(0);
            break;
        case ValueKind::real:
            out.reals.push_back(0.0);
            break;
        case ValueKind::date:
        case ValueKind::time:
        case ValueKind::timestamp:
            out.times.push_back(SQL_TIMESTAMP_STRUCT{});
            break;
        case ValueKind::decimal:
        case ValueKind::text:
        case ValueKind::binary:
            out.ends.push_back(out.bytes.size());
            break;
    }
}

}  // namespace

void ColumnValues::clear() {
    is_null.clear();
    integers.clear();
    reals.clear();
    times.clear();
    bytes.clear();
    ends.clear();
}

struct TypedFetch::Column {
    ValueKind kind = ValueKind::text;
    SQLSMALLINT c_type = SQL_C_CHAR;
    SQLLEN width = 0;  // 0: not bound, read with SQLGetData
    std::vector<char> buffer;
    SQLLEN indicator = 0;
};

TypedFetch::TypedFetch(sql::Query& query)
    : query_(query), statement_(sql::detail::QueryStatementAccess::handle(query)) {
    const int count = query.get_num_result_columns();
    if (count <= 0) {
        return;
    }
    columns_.resize(static_cast<std::size_t>(count));
    for (int column = 1; column <= count; ++column) {
        Column& described = columns_[static_cast<std::size_t>(column - 1)];
        SQLSMALLINT sql_type = 0;
        SQLULEN size = 0;
        if (!odbc::succeeded(SQLDescribeCol(statement_, static_cast<SQLUSMALLINT>(column), nullptr,
                                            0, nullptr, &sql_type, &size, nullptr, nullptr))) {
            throw_statement_error(statement_,
                                  "Unable to describe column " + std::to_string(column) + ": ");
        }
        SQLLEN is_unsigned = SQL_FALSE;
        if (sql_type == SQL_BIGINT && !odbc::succeeded(SQLColAttribute(
                                          statement_, static_cast<SQLUSMALLINT>(column),
                                          SQL_DESC_UNSIGNED, nullptr, 0, nullptr, &is_unsigned))) {
            throw_statement_error(statement_,
                                  "Unable to describe column " + std::to_string(column) + ": ");
        }
        described.kind = kind_of(sql_type, is_unsigned == SQL_TRUE);
        described.c_type = c_type_of(described.kind);
        described.width = width_for(described.kind, size);
    }
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        Column& column = columns_[i];
        if (column.width == 0) {
            continue;
        }
        column.buffer.resize(static_cast<std::size_t>(column.width));
        bound_ = true;
        if (!odbc::succeeded(SQLBindCol(statement_, static_cast<SQLUSMALLINT>(i + 1), column.c_type,
                                        column.buffer.data(), column.width, &column.indicator))) {
            throw_statement_error(statement_,
                                  "Unable to bind to column " + std::to_string(i + 1) + ": ");
        }
    }
}

std::size_t TypedFetch::columns() const noexcept {
    return columns_.size();
}

TypedFetch::~TypedFetch() {
    // The caller's Query must never write into freed buffers at a later fetch.
    if (bound_) {
        SQLFreeStmt(statement_, SQL_UNBIND);
    }
}

bool TypedFetch::read_chunk(RowChunk& chunk, std::size_t max_rows, std::size_t max_bytes) {
    chunk.rows = 0;
    chunk.columns.resize(columns_.size());
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        chunk.columns[i].clear();
        chunk.columns[i].kind = columns_[i].kind;
    }
    if (columns_.empty() || finished_) {
        return false;
    }
    const std::size_t row_bytes = columns_.size() * (sizeof(std::int64_t) + 1);
    std::size_t used = 0;
    while (chunk.rows < max_rows && used < max_bytes) {
        // fetch_checked marks every wait for the database for bounded waiting
        // and reports a failed fetch with the driver's diagnostics.
        if (!query_.fetch_checked()) {
            finished_ = true;
            break;
        }
        used += row_bytes;
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            ColumnValues& out = chunk.columns[i];
            const std::size_t before = out.bytes.size();
            append_value(i, out);
            used += out.bytes.size() - before;
        }
        ++chunk.rows;
    }
    return chunk.rows > 0;
}

void TypedFetch::append_value(std::size_t index, ColumnValues& out) {
    const Column& column = columns_[index];
    const int number = static_cast<int>(index + 1);
    if (column.width == 0) {
        read_whole(number, column.c_type, out);
        return;
    }
    const SQLLEN indicator = column.indicator;
    if (indicator == SQL_NULL_DATA) {
        push_null(out);
        return;
    }
    const char* data = column.buffer.data();
    switch (column.kind) {
        case ValueKind::integer:
        case ValueKind::unsigned_integer: {
            std::int64_t value = 0;
            std::memcpy(&value, data, sizeof(value));
            out.integers.push_back(value);
            break;
        }
        case ValueKind::boolean:
            out.integers.push_back(data[0] != 0 ? 1 : 0);
            break;
        case ValueKind::real: {
            double value = 0.0;
            std::memcpy(&value, data, sizeof(value));
            out.reals.push_back(value);
            break;
        }
        case ValueKind::date: {
            SQL_DATE_STRUCT date{};
            std::memcpy(&date, data, sizeof(date));
            SQL_TIMESTAMP_STRUCT value{};
            value.year = date.year;
            value.month = date.month;
            value.day = date.day;
            out.times.push_back(value);
            break;
        }
        case ValueKind::time: {
            SQL_TIME_STRUCT time{};
            std::memcpy(&time, data, sizeof(time));
            SQL_TIMESTAMP_STRUCT value{};
            value.hour = time.hour;
            value.minute = time.minute;
            value.second = time.second;
            out.times.push_back(value);
            break;
        }
        case ValueKind::timestamp: {
            SQL_TIMESTAMP_STRUCT value{};
            std::memcpy(&value, data, sizeof(value));
            out.times.push_back(value);
            break;
        }
        case ValueKind::decimal:
        case ValueKind::text:
        case ValueKind::binary: {
            const SQLLEN terminator = column.c_type == SQL_C_CHAR ? 1 : 0;
            if (indicator >= 0 && indicator + terminator <= column.width) {
                out.bytes.append(data, static_cast<std::size_t>(indicator));
                out.ends.push_back(out.bytes.size());
                out.is_null.push_back(0);
                return;
            }
            // Longer than the buffer, or of a length the driver did not tell
            // (SQL_NO_TOTAL): read again, whole, with SQLGetData, which
            // psqlODBC and sqliteodbc start again at the value's beginning.
            // A driver that does not is caught by the length check, never
            // passed off as a shorter value.
            const std::size_t start = out.bytes.size();
            read_whole(number, column.c_type, out);
            const bool read_null = out.is_null.back() != 0;
            const std::size_t length = out.bytes.size() - start;
            if (read_null || (indicator >= 0 && length != static_cast<std::size_t>(indicator))) {
                throw Error("Column " + std::to_string(number) + " read " +
                            (read_null ? std::string("NULL") : std::to_string(length) + " bytes") +
                            " with SQLGetData where the fetch announced " +
                            (indicator >= 0 ? std::to_string(indicator) + " bytes"
                                            : std::string("more than the buffer")));
            }
            return;
        }
    }
    out.is_null.push_back(0);
}

void TypedFetch::read_whole(int column, SQLSMALLINT c_type, ColumnValues& out) {
    if (!odbc::append_whole_value(statement_, column, c_type, out.bytes)) {
        push_null(out);
        return;
    }
    out.ends.push_back(out.bytes.size());
    out.is_null.push_back(0);
}

}  // namespace zel::python
