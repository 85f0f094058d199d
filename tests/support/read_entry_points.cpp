#include "read_entry_points.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <utility>

#include "numpy_columns.h"
#include "odbc/text_rows.h"
#include "typed_fetch.h"

namespace zel::sql::test {
namespace {

std::vector<ReadRow> text_rows(Query& query) {
    return detail::read_text_rows(query, query.get_num_result_columns());
}

// Numbers as their shortest text, for results whose columns a reader types.
std::string real_text(double value) {
    char text[40];
    std::snprintf(text, sizeof(text), "%.17g", value);
    return text;
}

std::vector<ReadRow> typed_rows(Query& query) {
    python::TypedFetch fetch(query);
    std::vector<ReadRow> rows;
    python::RowChunk chunk;
    // Small chunks, so that rows of one row array end up in several chunks.
    while (fetch.read_chunk(chunk, 7, std::size_t{1} << 16)) {
        for (std::size_t r = 0; r < chunk.rows; ++r) {
            ReadRow& row = rows.emplace_back();
            for (const python::ColumnValues& column : chunk.columns) {
                if (column.is_null[r] != 0) {
                    row.emplace_back(std::nullopt);
                    continue;
                }
                switch (column.kind) {
                    case python::ValueKind::integer:
                    case python::ValueKind::boolean:
                        row.emplace_back(std::to_string(column.integers[r]));
                        break;
                    case python::ValueKind::unsigned_integer:
                        row.emplace_back(
                            std::to_string(static_cast<unsigned long long>(column.integers[r])));
                        break;
                    case python::ValueKind::real:
                        row.emplace_back(real_text(column.reals[r]));
                        break;
                    case python::ValueKind::decimal:
                    case python::ValueKind::text:
                    case python::ValueKind::binary: {
                        const std::size_t begin = r == 0 ? 0 : column.ends[r - 1];
                        row.emplace_back(column.bytes.substr(begin, column.ends[r] - begin));
                        break;
                    }
                    default:
                        row.emplace_back("(date or time)");
                        break;
                }
            }
        }
    }
    return rows;
}

std::vector<ReadRow> numpy_columns(Query& query) {
    python::numpy_columns::ReadResult result = python::numpy_columns::read_columns(query);
    std::vector<ReadRow> rows(result.rows);
    for (const python::numpy_columns::Column& column : result.columns) {
        std::size_t begin = 0;
        for (std::size_t r = 0; r < result.rows; ++r) {
            if (column.nulls[r] != 0) {
                rows[r].emplace_back(std::nullopt);
            } else if (column.kind == python::numpy_columns::Kind::integer) {
                rows[r].emplace_back(std::to_string(column.numbers[r]));
            } else if (column.kind == python::numpy_columns::Kind::real) {
                double value = 0;
                std::memcpy(&value, &column.numbers[r], sizeof(value));
                rows[r].emplace_back(real_text(value));
            } else {
                rows[r].emplace_back(column.bytes.substr(begin, column.ends[r] - begin));
            }
            if (!column.ends.empty()) {
                begin = column.ends[r];
            }
        }
    }
    return rows;
}

template <typename Read>
std::vector<ReadRow> column_after_column(Query& query, Read read) {
    const int columns = query.get_num_result_columns();
    std::vector<ReadRow> rows;
    while (query.fetch_checked()) {
        ReadRow& row = rows.emplace_back();
        for (int column = 1; column <= columns; ++column) {
            bool was_null = false;
            std::string value = read(query, column, &was_null);
            row.push_back(was_null ? std::nullopt : std::optional<std::string>(std::move(value)));
        }
    }
    return rows;
}

std::vector<ReadRow> get_column_as_string(Query& query) {
    return column_after_column(query, [](Query& q, int column, bool* was_null) {
        return q.get_column_as_string(column, was_null);
    });
}

std::vector<ReadRow> get_column_as_binary(Query& query) {
    return column_after_column(query, [](Query& q, int column, bool* was_null) {
        const std::vector<unsigned char> bytes = q.get_column_as_binary(column, was_null);
        return std::string(bytes.begin(), bytes.end());
    });
}

}  // namespace

const std::vector<ReadEntryPoint>& read_entry_points() {
    static const std::vector<ReadEntryPoint> entry_points = {
        {"TextRows", text_rows, true, true},
        {"TypedRows", typed_rows, true, true},
        {"NumpyColumns", numpy_columns, true, true},
        {"GetColumnAsString", get_column_as_string, false, false},
        {"GetColumnAsBinary", get_column_as_binary, false, true},
    };
    return entry_points;
}

std::vector<ReadEntryPoint> binding_entry_points() {
    std::vector<ReadEntryPoint> binding;
    for (const ReadEntryPoint& entry : read_entry_points()) {
        if (entry.binds) {
            binding.push_back(entry);
        }
    }
    return binding;
}

std::string as_chunked_text(const std::string& value) {
    // Pieces of a 1,024-byte buffer, 1,023 characters and the NUL.
    constexpr std::size_t piece = 1023;
    std::string kept;
    for (std::size_t start = 0; start < value.size(); start += piece) {
        const std::string part = value.substr(start, piece);
        kept += part.substr(0, part.find('\0'));
    }
    return kept;
}

std::vector<ReadRow> as_read_by(const ReadEntryPoint& entry, std::vector<ReadRow> rows) {
    if (!entry.keeps_nul) {
        for (ReadRow& row : rows) {
            for (auto& value : row) {
                if (value) {
                    value = as_chunked_text(*value);
                }
            }
        }
    }
    return rows;
}

}  // namespace zel::sql::test
