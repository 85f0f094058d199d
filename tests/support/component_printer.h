#ifndef ZEL_SQL_TESTS_SUPPORT_COMPONENT_PRINTER_H_
#define ZEL_SQL_TESTS_SUPPORT_COMPONENT_PRINTER_H_

// How a zel::sql::Component shows in the messages of failed GoogleTest
// assertions: every field, texts and coordinates in the order that the
// backup file and the component view share. Include it in every
// test that compares components; GoogleTest finds it by argument-dependent
// lookup.

#include <ostream>

#include "zel/sql/Component.h"
#include "zel/sql/component_view.h"

namespace zel::sql {

// Shows a component in test failures (found by argument-dependent lookup).
inline void PrintTo(const Component& c, std::ostream* os) {
    *os << "{";
    for (const ComponentTextField& field : component_text_fields) {
        *os << c.*field.member << ", ";
    }
    for (const ComponentCoordinateField& field : component_coordinate_fields) {
        *os << field.column << " " << c.*field.member << ", ";
    }
    *os << "flags";
    for (const bool flag : c.flags_) {
        *os << " " << flag;
    }
    *os << "}";
}

}  // namespace zel::sql

#endif  // ZEL_SQL_TESTS_SUPPORT_COMPONENT_PRINTER_H_
