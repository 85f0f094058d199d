#include "odbc/text_rows.h"

#include <cstddef>
#include <utility>

namespace zel::sql::detail {

std::vector<std::string> read_column_names(Query& query) {
    const int columns = query.get_num_result_columns();
    std::vector<std::string> names;
    if (columns <= 0) {
        return names;
    }
    names.reserve(static_cast<std::size_t>(columns));
    for (int column = 1; column <= columns; ++column) {
        names.push_back(query.get_column_name(column));
    }
    return names;
}

std::vector<TextRow> read_text_rows(Query& query, int columns) {
    std::vector<TextRow> rows;
    if (columns <= 0) {
        return rows;
    }
    while (query.fetch_checked()) {
        TextRow& row = rows.emplace_back();
        row.reserve(static_cast<std::size_t>(columns));
        for (int column = 1; column <= columns; ++column) {
            bool was_null = false;
            std::string value = query.get_column_as_string(column, &was_null);
            if (was_null) {
                row.emplace_back(std::nullopt);
            } else {
                row.emplace_back(std::move(value));
            }
        }
    }
    return rows;
}

}  // namespace zel::sql::detail
