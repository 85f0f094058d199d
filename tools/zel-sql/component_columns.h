// The columns of a component as zel-sql names them in every output (diff,
// CSV, JSON, TFS): the names of the component view, so that an operator sees
// the same names in the database and in the tool.

#ifndef ZEL_SQL_TOOL_COMPONENT_COLUMNS_H_
#define ZEL_SQL_TOOL_COMPONENT_COLUMNS_H_

#include <string>

#include <zel/sql.h>

namespace zel_sql_tool {

struct TextColumn {
    const char* name;
    std::string zel::sql::Component::*field;
};

struct PositionColumn {
    const char* name;
    double zel::sql::Component::*field;
};

// NAME first; the texts in the order of the view.
inline constexpr TextColumn text_columns[] = {
    {"NAME", &zel::sql::Component::name_},
    {"REAL_NAME", &zel::sql::Component::real_name_},
    {"NAME2", &zel::sql::Component::name2_},
    {"SECTION", &zel::sql::Component::section_},
    {"GROUP_", &zel::sql::Component::group_},
    {"CLASS", &zel::sql::Component::class_},
    {"TYPE_", &zel::sql::Component::type_},
    {"FRIENDLY_NAME", &zel::sql::Component::friendly_name_},
    {"LINK_NAME", &zel::sql::Component::link_name_},
};

// S first: the coordinate along the beam, as accelerator tables list it.
inline constexpr PositionColumn position_columns[] = {
    {"S", &zel::sql::Component::s_},
    {"X", &zel::sql::Component::x_},
    {"Y", &zel::sql::Component::y_},
    {"Z", &zel::sql::Component::z_},
};

// The column of a flag: the view's column name.
inline std::string flag_column(const std::string& flag_name) {
    return "FLAG_" + flag_name;
}

// A coordinate in 17 significant digits: read back, it is the same double.
std::string exact_number(double value);

// A coordinate in the 16 significant digits that the backup file keeps: two
// lists are compared at this precision, so a backup equals the database it
// was written from.
std::string backup_precision_number(double value);

}  // namespace zel_sql_tool

#endif  // ZEL_SQL_TOOL_COMPONENT_COLUMNS_H_
