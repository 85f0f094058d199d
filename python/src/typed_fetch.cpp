#include "typed_fetch.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "odbc/column_reader.h"
#include "odbc/odbc_rules.h"
#include "odbc/query_statement.h"
#include "temporal_text.h"

namespace zel::python {
namespace {

namespace odbc = sql::odbc;

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
        case ValueKind::time:
        case ValueKind::timestamp:
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
        case ValueKind::binary:
            return odbc::binary_width(size);
        case ValueKind::date:
        case ValueKind::time:
        case ValueKind::timestamp:
        case ValueKind::decimal:
        case ValueKind::text:
            break;
    }
    return odbc::text_width(size);
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

TemporalKind temporal_kind(ValueKind kind) {
    switch (kind) {
        case ValueKind::date:
            return TemporalKind::date;
        case ValueKind::time:
            return TemporalKind::time;
        default:
            break;
    }
    return TemporalKind::timestamp;
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

TypedFetch::TypedFetch(sql::Query& query) : query_(&query) {
    const int count = query.get_num_result_columns();
    if (count <= 0) {
        return;
    }
    const SQLHSTMT statement = sql::detail::QueryStatementAccess::handle(query);
    kinds_.resize(static_cast<std::size_t>(count));
    std::vector<odbc::ColumnPlan> plans(static_cast<std::size_t>(count));
    for (int column = 1; column <= count; ++column) {
        const odbc::ColumnDescription described = odbc::describe_column(query, column);
        const SQLSMALLINT sql_type = described.sql_type;
        const SQLULEN size = described.size;
        SQLLEN is_unsigned = SQL_FALSE;
        if (sql_type == SQL_BIGINT && !odbc::succeeded(SQLColAttribute(
                                          statement, static_cast<SQLUSMALLINT>(column),
                                          SQL_DESC_UNSIGNED, nullptr, 0, nullptr, &is_unsigned))) {
            throw_statement_error(statement,
                                  "Unable to describe column " + std::to_string(column) + ": ");
        }
        const ValueKind kind = kind_of(sql_type, is_unsigned == SQL_TRUE);
        kinds_[static_cast<std::size_t>(column - 1)] = kind;
        odbc::ColumnPlan& plan = plans[static_cast<std::size_t>(column - 1)];
        plan.c_type = c_type_of(kind);
        plan.width = width_for(kind, size);
    }
    reader_.emplace(query, std::move(plans));
}

std::size_t TypedFetch::columns() const noexcept {
    return kinds_.size();
}

TypedFetch::~TypedFetch() = default;

bool TypedFetch::read_chunk(RowChunk& chunk, std::size_t max_rows, std::size_t max_bytes) {
    chunk.rows = 0;
    chunk.columns.resize(kinds_.size());
    for (std::size_t i = 0; i < kinds_.size(); ++i) {
        chunk.columns[i].clear();
        chunk.columns[i].kind = kinds_[i];
    }
    if (!reader_) {
        return false;
    }
    const std::size_t row_bytes = kinds_.size() * (sizeof(std::int64_t) + 1);
    std::size_t used = 0;
    while (chunk.rows < max_rows && used < max_bytes) {
        if (!reader_->next_row()) {
            break;
        }
        used += row_bytes;
        for (std::size_t i = 0; i < kinds_.size(); ++i) {
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
    switch (out.kind) {
        case ValueKind::date:
        case ValueKind::time:
        case ValueKind::timestamp: {
            temporal_text_.clear();
            if (!reader_->append_value(index, temporal_text_)) {
                push_null(out);
                return;
            }
            const TemporalKind kind = temporal_kind(out.kind);
            SQL_TIMESTAMP_STRUCT value{};
            if (!parse_temporal(temporal_text_, kind, value)) {
                const int number = static_cast<int>(index) + 1;
                throw unrepresentable(number, query_->get_column_name(number), kind,
                                      temporal_text_);
            }
            out.times.push_back(value);
            out.is_null.push_back(0);
            return;
        }
        case ValueKind::decimal:
        case ValueKind::text:
        case ValueKind::binary:
            if (!reader_->append_value(index, out.bytes)) {
                push_null(out);
                return;
            }
            out.ends.push_back(out.bytes.size());
            out.is_null.push_back(0);
            return;
        default:
            break;
    }
    if (reader_->bound_value(index) == odbc::BoundValue::null) {
        push_null(out);
        return;
    }
    const char* data = reader_->bound_bytes(index).data();
    switch (out.kind) {
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
        case ValueKind::date:
        case ValueKind::time:
        case ValueKind::timestamp:
        case ValueKind::decimal:
        case ValueKind::text:
        case ValueKind::binary:
            break;
    }
    out.is_null.push_back(0);
}

}  // namespace zel::python
