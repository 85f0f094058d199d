#ifndef ZEL_SQL_TESTS_SUPPORT_COMPONENT_PRINTER_H_
#define ZEL_SQL_TESTS_SUPPORT_COMPONENT_PRINTER_H_

// How a zel::sql::Component shows in the messages of failed GoogleTest
// assertions: every field, in the order of the class. Include it in every
// test that compares components; GoogleTest finds it by argument-dependent
// lookup.

#include <ostream>

#include "zel/sql/Component.h"

namespace zel::sql {

// Shows a component in test failures (found by argument-dependent lookup).
inline void PrintTo(const Component& c, std::ostream* os) {
    *os << "{" << c.name_ << ", " << c.real_name_ << ", " << c.name2_ << ", " << c.section_ << ", "
        << c.group_ << ", " << c.class_ << ", " << c.type_ << ", " << c.friendly_name_ << ", "
        << c.link_name_ << ", x " << c.x_ << ", y " << c.y_ << ", z " << c.z_ << ", s " << c.s_
        << ", flags";
    for (const bool flag : c.flags_) {
        *os << " " << flag;
    }
    *os << "}";
}

}  // namespace zel::sql

#endif  // ZEL_SQL_TESTS_SUPPORT_COMPONENT_PRINTER_H_
