#include "odbc/text_rows.h"

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "odbc/column_reader.h"

namespace zel::sql::detail {

namespace {

// Every column as text, bound where its declared size fits.
std::vector<odbc::ColumnPlan> text_plans(Query& query, int columns) {
    std::vector<odbc::ColumnPlan> plans(static_cast<std::size_t>(columns));
    for (int column = 1; column <= columns; ++column) {
        plans[static_cast<std::size_t>(column - 1)].width =
            odbc::text_width(odbc::describe_column(query, column).size);
    }
    return plans;
}

}  // namespace

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
    odbc::ColumnReader reader(query, text_plans(query, columns));
    while (reader.next_row()) {
        TextRow& row = rows.emplace_back();
        row.reserve(static_cast<std::size_t>(columns));
        for (std::size_t i = 0; i < static_cast<std::size_t>(columns); ++i) {
            std::string value;
            if (reader.append_value(i, value)) {
                row.emplace_back(std::move(value));
            } else {
                row.emplace_back(std::nullopt);
            }
        }
    }
    return rows;
}

}  // namespace zel::sql::detail
