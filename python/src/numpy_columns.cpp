#include "numpy_columns.h"

#include <sql.h>
#include <sqlext.h>

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "odbc/column_reader.h"
#include "odbc/odbc_rules.h"
#include "odbc/query_statement.h"
#include "zel/Error.h"

namespace zel::python::numpy_columns {
namespace {

namespace odbc = sql::odbc;
using odbc::succeeded;

// About this many bytes of bound buffers per fetch: enough rows to make the
// call overhead small, few enough to stay in the cache.
constexpr std::size_t rowset_bytes = std::size_t{1} << 20;

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

std::optional<TemporalKind> temporal_of(SQLSMALLINT type) {
    switch (type) {
        case SQL_TYPE_DATE:
        case SQL_DATE:
            return TemporalKind::date;
        case SQL_TYPE_TIME:
        case SQL_TIME:
            return TemporalKind::time;
        case SQL_TYPE_TIMESTAMP:
        case SQL_TIMESTAMP:
            return TemporalKind::timestamp;
        default:
            return std::nullopt;
    }
}

// Bytes for one bound value of a column of `kind` and declared size `size`;
// numbers are read as texts. 0 when not bound.
SQLLEN width_for(Kind kind, SQLULEN size) {
    switch (kind) {
        case Kind::integer:
            return odbc::number_text_width(0);
        case Kind::real:
            return odbc::number_text_width(size);
        case Kind::binary:
            return odbc::binary_width(size);
        case Kind::text:
            break;
    }
    return odbc::text_width(size);
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

std::vector<Column> describe_columns(sql::Query& query, int count) {
    std::vector<Column> columns(static_cast<std::size_t>(count));
    std::map<std::string, int> seen;
    for (int number = 1; number <= count; ++number) {
        Column& column = columns[static_cast<std::size_t>(number - 1)];
        column.name = query.get_column_name(number);
        const odbc::ColumnDescription described = odbc::describe_column(query, number);
        column.kind = kind_of(described.sql_type);
        column.temporal = temporal_of(described.sql_type);
        column.width = width_for(column.kind, described.size);
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
// buffers through the library's column reader. Numbers are fetched many rows
// at a time whatever the driver: a number longer than its buffer is an error
// there, never completed.
class RowsReader {
public:
    RowsReader(sql::Query& query, std::vector<Column>& columns)
        : statement_(sql::detail::QueryStatementAccess::handle(query)),
          sql_(sql::detail::QueryStatementAccess::sql(query)),
          columns_(columns),
          reader_(query, plans(columns), odbc::RowsetLimits{rowset_bytes, SIZE_MAX}) {}

    // Reads the next row; false at the end of the rows.
    bool next() {
        const std::size_t fetches = reader_.fetches();
        if (!reader_.next_row()) {
            return false;
        }
        if (reader_.fetches() != fetches) {
            refuse_warnings();
        }
        take_row();
        return true;
    }

private:
    static std::vector<odbc::ColumnPlan> plans(const std::vector<Column>& columns) {
        std::vector<odbc::ColumnPlan> plans;
        plans.reserve(columns.size());
        for (const Column& column : columns) {
            odbc::ColumnPlan& plan = plans.emplace_back();
            plan.c_type = c_type_of(column);
            plan.width = column.width;
            plan.completes_cut_values = column.kind == Kind::text || column.kind == Kind::binary;
        }
        return plans;
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
                odbc::throw_statement_error(statement_, "Fetch warned: ", " (" + sql_ + ")");
            }
        }
    }

    void take_row() {
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            Column& column = columns_[i];
            if (column.kind == Kind::integer || column.kind == Kind::real) {
                take_number(i, column);
                continue;
            }
            const std::size_t begin = column.bytes.size();
            const bool is_null = !reader_.append_value(i, column.bytes);
            if (!is_null && column.temporal) {
                check_temporal(i, column, std::string_view(column.bytes).substr(begin));
            }
            column.nulls.push_back(static_cast<char>(is_null));
            column.has_null = column.has_null || is_null;
            column.ends.push_back(column.bytes.size());
        }
    }

    // The text stays what the driver gave; only a value that a datetime
    // could not hold is refused.
    static void check_temporal(std::size_t index, const Column& column, std::string_view text) {
        SQL_TIMESTAMP_STRUCT value{};
        if (!parse_temporal(text, *column.temporal, value)) {
            throw unrepresentable(static_cast<int>(index) + 1, column.name, *column.temporal, text);
        }
    }

    void take_number(std::size_t index, Column& column) {
        const odbc::BoundValue bound = reader_.bound_value(index);
        const bool is_null = bound == odbc::BoundValue::null;
        column.nulls.push_back(static_cast<char>(is_null));
        column.has_null = column.has_null || is_null;
        std::int64_t value = 0;
        if (!is_null) {
            std::string_view text = reader_.bound_bytes(index);
            if (bound == odbc::BoundValue::cut) {
                if (!reader_.can_complete()) {
                    throw Error(column_text(index, column) + " holds a number of more than " +
                                std::to_string(column.width - 1) +
                                " characters; select it as text to read it");
                }
                long_number_.clear();
                reader_.append_value(index, long_number_);
                text = long_number_;
            }
            if (column.kind == Kind::integer) {
                value = parse_integer(text, index, column);
            } else {
                const double real = parse_real(text, index, column);
                std::memcpy(&value, &real, sizeof(real));
            }
        }
        column.numbers.push_back(value);
    }

    SQLHSTMT statement_;
    const std::string& sql_;
    std::vector<Column>& columns_;
    odbc::ColumnReader reader_;
    std::string long_number_;
};

}  // namespace

std::string column_text(std::size_t index, const Column& column) {
    return "Column " + std::to_string(index + 1) + " (\"" + column.name + "\")";
}

ReadResult read_columns(sql::Query& query) {
    ReadResult result;
    const int count = query.get_num_result_columns();
    if (count <= 0) {
        return result;
    }
    result.columns = describe_columns(query, count);
    {
        RowsReader reader(query, result.columns);
        while (reader.next()) {
        }
    }
    result.rows = result.columns.front().nulls.size();
    return result;
}

}  // namespace zel::python::numpy_columns
