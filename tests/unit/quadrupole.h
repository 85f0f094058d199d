#ifndef ZEL_SQL_TESTS_UNIT_QUADRUPOLE_H_
#define ZEL_SQL_TESTS_UNIT_QUADRUPOLE_H_

// The quadrupole QX7, the one component of the small sample list file, with
// every member set: flags QUAD (set) and DIAG (not set).

#include "zel/sql/Component.h"

namespace zel::sql::test {

inline Component quadrupole_qx7() {
    Component c;
    c.name_ = "QX7";
    c.real_name_ = "QX7.L3";
    c.name2_ = "QX7-2";
    c.section_ = "L3";
    c.group_ = "QUADS";
    c.class_ = "QUAD";
    c.type_ = "QD";
    c.friendly_name_ = "Quadrupole QX7";
    c.x_ = 1.25;
    c.y_ = -0.003;
    c.z_ = 104.52;
    c.s_ = 104.531;
    c.flags_ = {true, false};
    c.link_name_ = "QX7.PS";
    return c;
}

}  // namespace zel::sql::test

#endif  // ZEL_SQL_TESTS_UNIT_QUADRUPOLE_H_
