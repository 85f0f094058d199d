#ifndef ZEL_SQL_COMPONENT_LIST_COMPONENT_VIEW_H_
#define ZEL_SQL_COMPONENT_LIST_COMPONENT_VIEW_H_

// The one statement that reads a facility's components from its view (the
// names are public: zel/sql/component_view.h). Internal: not installed.
// Header-only, so that the benchmarks send exactly the statement that the
// loader sends.

#include <string>
#include <string_view>
#include <vector>

#include "util/string.h"
#include "zel/Error.h"
#include "zel/sql/component_view.h"

namespace zel::sql::detail {

/// The column of the first flag in component_view_select: after the texts and
/// the coordinates.
inline constexpr int first_flag_column =
    static_cast<int>(component_text_fields.size() + component_coordinate_fields.size()) + 1;

/// True when `column` is a plain identifier: ASCII letters, digits, '_', '$'
/// and '#' only. Only such a name is put into SQL text unquoted: a space or a
/// quote in it would change what the statement reads.
inline bool is_plain_identifier(std::string_view column) {
    for (const char c : column) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '_' || c == '$' || c == '#';
        if (!plain) {
            return false;
        }
    }
    return !column.empty();
}

/// SELECT of the leading texts, the coordinates, the link name and the flag
/// columns "FLAG_<name>" in the order of `flag_names`, from
/// TAVIK.<facility>_VIEW_COMPONENTS.
/// @throws zel::Error naming the first flag column that is not a plain
/// identifier (is_plain_identifier), before any text is built.
inline std::string component_view_select(std::string_view facility,
                                         const std::vector<std::string>& flag_names) {
    for (const std::string& flag : flag_names) {
        const std::string column = std::string(flag_column_prefix) + flag;
        if (!is_plain_identifier(column)) {
            throw Error(util::cat("Flag column \"", util::excerpt_for_message(column),
                                  "\" refused: not a plain identifier (letters, digits, _, $, #)"));
        }
    }
    std::string sql = "SELECT ";
    auto add_column = [&sql, first = true](std::string_view column) mutable {
        if (!first) {
            sql += ", ";
        }
        first = false;
        sql += column;
    };
    for (std::size_t i = 0; i < component_leading_text_fields; ++i) {
        add_column(component_text_fields[i].column);
    }
    for (const ComponentCoordinateField& field : component_coordinate_fields) {
        add_column(field.column);
    }
    add_column(component_link_name_field.column);
    for (const std::string& flag : flag_names) {
        add_column(std::string(flag_column_prefix) + flag);
    }
    sql += " FROM ";
    sql += component_view_full_name(facility);
    return sql;
}

}  // namespace zel::sql::detail

#endif  // ZEL_SQL_COMPONENT_LIST_COMPONENT_VIEW_H_
