#include "list_export.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string_view>
#include <vector>

#include "component_columns.h"

namespace zel_sql_tool {
namespace {

using zel::sql::Component;
using zel::sql::ComponentList;

bool has_flag(const Component& c, std::size_t index) {
    return index < c.flags_.size() && c.flags_[index];
}

void csv_line(std::ostream& out, const std::vector<std::string>& fields) {
    bool first = true;
    for (const std::string& field : fields) {
        out << (first ? "" : ",") << csv_field(field);
        first = false;
    }
    out << "\r\n";
}

// A spreadsheet takes a cell that begins with one of these for a formula (a
// leading tab or CR is dropped by some before they look).
bool looks_like_formula(const std::string& text) {
    return !text.empty() &&
           std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos;
}

// `text` for a message: bytes below 0x20 and DEL as \xNN, so that a name
// from a file cannot drive the terminal that shows the error.
std::string visible(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

std::string formatted_time(std::time_t time, const char* format) {
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[64];
    std::strftime(text, sizeof(text), format, &parts);
    return text;
}

std::string tfs_string(const std::string& text, const std::string& component) {
    if (text.find_first_of("\"\n\r") != std::string::npos) {
        throw zel::Error("Cannot write TFS: a text of component \"" + visible(component) +
                         "\" holds a double quote or a line break, which TFS cannot carry");
    }
    return "\"" + text + "\"";
}

void tfs_header_line(std::ostream& out, const std::string& name, const std::string& value) {
    char key[32];
    std::snprintf(key, sizeof(key), "@ %-16s %%s ", name.c_str());
    out << key << tfs_string(value, name) << '\n';
}

}  // namespace

std::string shortest_number(double value) {
    char text[32];  // the longest shortest form, "-2.2250738585072014e-308", is 24
    const std::to_chars_result end = std::to_chars(std::begin(text), std::end(text), value);
    return std::string(text, end.ptr);
}

bool is_plain_identifier(const std::string& name) {
    if (name.empty()) {
        return false;
    }
    for (const char c : name) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '_' || c == '$' || c == '#';
        if (!plain) {
            return false;
        }
    }
    return true;
}

std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

void write_csv(std::ostream& out, const ComponentList& list, CsvTexts texts) {
    std::vector<std::string> row;
    for (const TextColumn& field : text_columns) {
        row.emplace_back(field.column);
    }
    for (const PositionColumn& field : position_columns) {
        row.emplace_back(field.column);
    }
    for (const std::string& name : list.flag_names_) {
        row.push_back(flag_column(name));
    }
    csv_line(out, row);
    for (const Component& c : list.components_) {
        row.clear();
        for (const TextColumn& field : text_columns) {
            const std::string& text = c.*field.member;
            row.push_back(texts == CsvTexts::guarded && looks_like_formula(text) ? "'" + text
                                                                                 : text);
        }
        for (const PositionColumn& field : position_columns) {
            row.push_back(shortest_number(c.*field.member));
        }
        for (std::size_t i = 0; i < list.flag_names_.size(); ++i) {
            row.emplace_back(has_flag(c, i) ? "1" : "0");
        }
        csv_line(out, row);
    }
}

void write_json(std::ostream& out, const ComponentList& list, const ExportHeader& header) {
    nlohmann::ordered_json components = nlohmann::ordered_json::array();
    for (const Component& c : list.components_) {
        nlohmann::ordered_json row;
        for (const TextColumn& field : text_columns) {
            row[field.column] = c.*field.member;
        }
        for (const PositionColumn& field : position_columns) {
            const double value = c.*field.member;
            row[field.column] = std::isfinite(value) ? nlohmann::ordered_json(value) : nullptr;
        }
        nlohmann::ordered_json flags = nlohmann::ordered_json::object();
        for (std::size_t i = 0; i < list.flag_names_.size(); ++i) {
            flags[list.flag_names_[i]] = has_flag(c, i);
        }
        row["flags"] = std::move(flags);
        components.push_back(std::move(row));
    }
    nlohmann::ordered_json document;
    document["facility"] = header.facility;
    document["source"] = header.source;
    document["flag_names"] = list.flag_names_;
    document["components"] = std::move(components);
    // Names come from the database: bytes that are not UTF-8 are replaced,
    // not a reason to fail.
    out << document.dump(1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
}

void write_tfs(std::ostream& destination, const ComponentList& list, const ExportHeader& header) {
    for (const std::string& name : list.flag_names_) {
        if (!is_plain_identifier(name)) {
            throw zel::Error("Cannot write TFS: the flag name \"" + visible(name) +
                             "\" is not a plain identifier (letters, digits, _, $, #), which a "
                             "TFS column name must be");
        }
    }
    // Whole or not at all: a text that TFS cannot carry may come last.
    std::ostringstream out;
    tfs_header_line(out, "NAME", "COMPONENTS");
    tfs_header_line(out, "TYPE", "ZEL_SQL_COMPONENTS");
    tfs_header_line(out, "FACILITY", header.facility);
    tfs_header_line(out, "SOURCE", header.source);
    tfs_header_line(out, "ORIGIN", "zel-sql");
    tfs_header_line(out, "DATE", formatted_time(header.written_at, "%d/%m/%y"));
    tfs_header_line(out, "TIME", formatted_time(header.written_at, "%H.%M.%S"));

    // MAD-X order: the name, the positions, then everything else.
    out << "* NAME";
    for (const PositionColumn& field : position_columns) {
        out << ' ' << field.column;
    }
    for (const TextColumn& field : text_columns) {
        if (field.member != &Component::name_) {
            out << ' ' << field.column;
        }
    }
    for (const std::string& name : list.flag_names_) {
        out << ' ' << flag_column(name);
    }
    out << "\n$ %s";
    for (std::size_t i = 0; i < std::size(position_columns); ++i) {
        out << " %le";
    }
    for (std::size_t i = 1; i < std::size(text_columns); ++i) {
        out << " %s";
    }
    for (std::size_t i = 0; i < list.flag_names_.size(); ++i) {
        out << " %d";
    }
    out << '\n';
    for (const Component& c : list.components_) {
        out << ' ' << tfs_string(c.name_, c.name_);
        for (const PositionColumn& field : position_columns) {
            out << ' ' << shortest_number(c.*field.member);
        }
        for (const TextColumn& field : text_columns) {
            if (field.member != &Component::name_) {
                out << ' ' << tfs_string(c.*field.member, c.name_);
            }
        }
        for (std::size_t i = 0; i < list.flag_names_.size(); ++i) {
            out << ' ' << (has_flag(c, i) ? 1 : 0);
        }
        out << '\n';
    }
    destination << out.str();
}

}  // namespace zel_sql_tool
