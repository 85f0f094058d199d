#include "text_table.h"

#include <algorithm>

#include "terminal_text.h"

namespace zel_sql_tool {
TextTable::TextTable(std::vector<std::string> headings) : headings_(std::move(headings)) {
    // Headings can be a copy's column names: as untrusted as the cells.
    for (std::string& heading : headings_) {
        heading = printable(heading);
    }
}

void TextTable::add_row(std::vector<std::string> cells) {
    cells.resize(headings_.size());
    for (std::string& cell : cells) {
        cell = printable(cell);
    }
    rows_.push_back(std::move(cells));
}

void TextTable::print(std::ostream& out) const {
    std::vector<std::size_t> widths;
    for (const std::string& heading : headings_) {
        widths.push_back(heading.size());
    }
    for (const auto& row : rows_) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    const auto line = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            text += cells[i];
            if (i + 1 < cells.size()) {
                text += std::string(widths[i] - cells[i].size() + 2, ' ');
            }
        }
        out << text << '\n';
    };
    line(headings_);
    for (const auto& row : rows_) {
        line(row);
    }
}

std::string cut(const std::string& text, std::size_t width) {
    if (text.size() <= width) {
        return text;
    }
    return text.substr(0, width > 3 ? width - 3 : 0) + "...";
}

}  // namespace zel_sql_tool
