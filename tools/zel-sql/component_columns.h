// The columns of a component as zel-sql names them in every output (diff,
// CSV, JSON, TFS): the names of the component view, so that an operator sees
// the same names in the database and in the tool.

#ifndef ZEL_SQL_TOOL_COMPONENT_COLUMNS_H_
#define ZEL_SQL_TOOL_COMPONENT_COLUMNS_H_

#include <array>
#include <string>

#include <zel/sql.h>

namespace zel_sql_tool {

using TextColumn = zel::sql::ComponentTextField;
using PositionColumn = zel::sql::ComponentCoordinateField;

// NAME first; the texts in the order of the view.
inline constexpr const std::array<TextColumn, 9>& text_columns = zel::sql::component_text_fields;

// S first: the coordinate along the beam, as accelerator tables list it.
inline constexpr std::array<PositionColumn, 4> position_columns = {
    zel::sql::component_coordinate_fields[3],
    zel::sql::component_coordinate_fields[0],
    zel::sql::component_coordinate_fields[1],
    zel::sql::component_coordinate_fields[2],
};
static_assert(position_columns[0].member == &zel::sql::Component::s_);

// The column of a flag: the view's column name.
inline std::string flag_column(const std::string& flag_name) {
    return std::string(zel::sql::flag_column_prefix) + flag_name;
}

// A coordinate in the 16 significant digits that the backup file keeps: two
// lists are compared at this precision, so a backup equals the database it
// was written from.
std::string backup_precision_number(double value);

}  // namespace zel_sql_tool

#endif  // ZEL_SQL_TOOL_COMPONENT_COLUMNS_H_
