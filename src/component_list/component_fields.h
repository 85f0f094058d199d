#ifndef ZEL_SQL_COMPONENT_LIST_COMPONENT_FIELDS_H_
#define ZEL_SQL_COMPONENT_LIST_COMPONENT_FIELDS_H_

// The fields of a Component, each with the column of the component view that
// fills it, in the one order that the backup file, the view's SELECT and the
// test printers share. Internal: not installed.
//
// Both the file and the SELECT put the eight leading texts first, then the
// four coordinates, and the link name after them: the link name was added to
// the record later, and both formats kept their earlier layout.

#include <array>
#include <cstddef>
#include <string>

#include "zel/sql/Component.h"

namespace zel::sql::detail {

struct TextField {
    std::string Component::*member;
    const char* column;
};

struct CoordinateField {
    double Component::*member;
    const char* column;
};

/// The nine texts: the eight leading ones, then the link name.
inline constexpr std::array<TextField, 9> text_fields{{
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

/// How many texts come before the coordinates; the rest follow them.
inline constexpr std::size_t leading_text_fields = 8;

/// The link name, the one text after the coordinates.
inline constexpr const TextField& link_name_field = text_fields[leading_text_fields];

inline constexpr std::array<CoordinateField, 4> coordinate_fields{{
    {&Component::x_, "X"},
    {&Component::y_, "Y"},
    {&Component::z_, "Z"},
    {&Component::s_, "S"},
}};

}  // namespace zel::sql::detail

#endif  // ZEL_SQL_COMPONENT_LIST_COMPONENT_FIELDS_H_
