#ifndef ZEL_SQL_COMPONENT_LIST_COMPONENT_VIEW_H_
#define ZEL_SQL_COMPONENT_LIST_COMPONENT_VIEW_H_

// The one statement that reads a facility's components from its view (the
// names are public: zel/sql/component_view.h). Internal: not installed.
// Header-only, so that the benchmarks send exactly the statement that the
// loader sends.

#include <string>
#include <string_view>
#include <vector>

#include "zel/sql/component_view.h"

namespace zel::sql::detail {

/// The column of the first flag in component_view_select: after the texts and
/// the coordinates.
inline constexpr int first_flag_column =
    static_cast<int>(component_text_fields.size() + component_coordinate_fields.size()) + 1;

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
