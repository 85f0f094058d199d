#ifndef ZEL_SQL_COMPONENT_LIST_COMPONENT_VIEW_H_
#define ZEL_SQL_COMPONENT_LIST_COMPONENT_VIEW_H_

// The database view that holds a facility's components, and the one statement
// that reads them. Internal: not installed. Header-only, so that the
// benchmarks send exactly the statement that the loader sends.

#include <string>
#include <string_view>
#include <vector>

#include "component_list/component_fields.h"

namespace zel::sql::detail {

/// The schema that owns every component view.
inline constexpr const char* component_view_owner = "TAVIK";

/// The columns of the view whose names begin with this are the flags.
inline constexpr std::string_view flag_column_prefix = "FLAG_";

/// The view of a facility, given its canonical name: "<facility>_VIEW_COMPONENTS".
inline std::string component_view_name(std::string_view facility) {
    return std::string(facility) + "_VIEW_COMPONENTS";
}

/// The column of the first flag in component_view_select: after the texts and
/// the coordinates.
inline constexpr int first_flag_column =
    static_cast<int>(text_fields.size() + coordinate_fields.size()) + 1;

/// SELECT of the leading texts, the coordinates, the link name and the flag
/// columns "FLAG_<name>" in the order of `flag_names`, from
/// TAVIK.<facility>_VIEW_COMPONENTS.
inline std::string component_view_select(std::string_view facility,
                                         const std::vector<std::string>& flag_names) {
    std::string sql = "SELECT ";
    auto add_column = [&sql, first = true](std::string_view column) mutable {
        if (!first) {
            sql += ", ";
        }
        first = false;
        sql += column;
    };
    for (std::size_t i = 0; i < leading_text_fields; ++i) {
        add_column(text_fields[i].column);
    }
    for (const CoordinateField& field : coordinate_fields) {
        add_column(field.column);
    }
    add_column(link_name_field.column);
    for (const std::string& flag : flag_names) {
        add_column(std::string(flag_column_prefix) + flag);
    }
    sql += " FROM ";
    sql += component_view_owner;
    sql += '.';
    sql += component_view_name(facility);
    return sql;
}

}  // namespace zel::sql::detail

#endif  // ZEL_SQL_COMPONENT_LIST_COMPONENT_VIEW_H_
