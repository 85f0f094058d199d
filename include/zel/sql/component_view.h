#ifndef ZEL_SQL_COMPONENT_VIEW_H_
#define ZEL_SQL_COMPONENT_VIEW_H_

/// @file
/// The names under which a facility's components are stored: the database
/// view that ComponentList::read_from_db reads, the columns that fill each
/// field of a Component, the prefix of the flag columns, and the default name
/// of the backup file of ComponentList::read_from_db_with_backup. For programs
/// that show, export or check component lists in the same terms as the
/// library. Everything here is constant and may be used from any thread.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "zel/sql/Component.h"

namespace zel::sql {

/// A text field of a Component and the column of the view that fills it.
struct ComponentTextField {
    std::string Component::*member;  ///< the field
    const char* column;              ///< the view's column: "NAME"
};

/// A coordinate of a Component and the column of the view that fills it.
struct ComponentCoordinateField {
    double Component::*member;  ///< the field
    const char* column;         ///< the view's column: "X"
};

/// The nine texts of a Component: the eight leading ones, then the link name.
/// This is the order of the backup file and of the view's SELECT, which put
/// the four coordinates between the leading texts and the link name (the
/// link name was added to the record later, and both formats kept their
/// earlier layout).
inline constexpr std::array<ComponentTextField, 9> component_text_fields{{
    {&Component::name_, "NAME"},
    {&Component::real_name_, "REAL_NAME"},
    {&Component::name2_, "NAME2"},
    {&Component::section_, "SECTION"},
    {&Component::group_, "GROUP_"},
    {&Component::class_, "CLASS"},
    {&Component::type_, "TYPE_"},
    {&Component::friendly_name_, "FRIENDLY_NAME"},
    {&Component::link_name_, "LINK_NAME"},
}};

/// How many texts of component_text_fields come before the coordinates.
inline constexpr std::size_t component_leading_text_fields = 8;

/// The link name, the one text after the coordinates.
inline constexpr const ComponentTextField& component_link_name_field =
    component_text_fields[component_leading_text_fields];

/// The four coordinates in the order of the backup file and the view's
/// SELECT.
inline constexpr std::array<ComponentCoordinateField, 4> component_coordinate_fields{{
    {&Component::x_, "X"},
    {&Component::y_, "Y"},
    {&Component::z_, "Z"},
    {&Component::s_, "S"},
}};

/// The schema that owns every component view.
inline constexpr std::string_view component_view_owner = "TAVIK";

/// The view's columns whose names begin with this are the flags: column
/// "FLAG_BPM" is the flag "BPM".
inline constexpr std::string_view flag_column_prefix = "FLAG_";

/// The view of a facility, given its canonical name (see
/// standardize_facility_name), without its schema: "MIRAN_VIEW_COMPONENTS".
inline std::string component_view_name(std::string_view facility) {
    return std::string(facility) + "_VIEW_COMPONENTS";
}

/// The view of a facility with its schema: "TAVIK.MIRAN_VIEW_COMPONENTS".
inline std::string component_view_full_name(std::string_view facility) {
    return std::string(component_view_owner) + "." + component_view_name(facility);
}

/// What the default backup file name of a facility begins with.
inline constexpr std::string_view backup_file_prefix = "db_component_list_";
/// What the default backup file name of a facility ends with.
inline constexpr std::string_view backup_file_suffix = ".txt";

/// The backup file that ComponentList::read_from_db_with_backup uses when it
/// is given none, for a facility's canonical name: "db_component_list_MIRAN.txt",
/// relative to the working directory.
inline std::string default_backup_file_name(std::string_view facility) {
    return std::string(backup_file_prefix) + std::string(facility) +
           std::string(backup_file_suffix);
}

}  // namespace zel::sql

#endif  // ZEL_SQL_COMPONENT_VIEW_H_
