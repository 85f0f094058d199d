// A plain text table for the terminal: columns padded to their widest cell.

#ifndef ZEL_SQL_TOOL_TEXT_TABLE_H_
#define ZEL_SQL_TOOL_TEXT_TABLE_H_

#include <ostream>
#include <string>
#include <vector>

namespace zel_sql_tool {

class TextTable {
public:
    explicit TextTable(std::vector<std::string> headings);
    void add_row(std::vector<std::string> cells);
    bool empty() const { return rows_.empty(); }
    // Cells pass through printable() (terminal_text.h), so that one row
    // stays one line and no cell reaches the terminal as a control sequence.
    void print(std::ostream& out) const;

private:
    std::vector<std::string> headings_;
    std::vector<std::vector<std::string>> rows_;
};

// `text` cut to `width` characters, "..." marking the cut.
std::string cut(const std::string& text, std::size_t width);

}  // namespace zel_sql_tool

#endif  // ZEL_SQL_TOOL_TEXT_TABLE_H_
