#ifndef ZEL_SQL_TESTS_INTEGRATION_SAMPLE_LISTS_H_
#define ZEL_SQL_TESTS_INTEGRATION_SAMPLE_LISTS_H_

// Component lists that the integration tests expect from the facility views of
// sql/*.sql, and one that no database holds, for backup files. MIRAN is
// described in tests/data/miran_components.json, which the Python and zel-sql
// tests read too.

#include <string>
#include <vector>

#include "zel/sql/Component.h"
#include "zel/sql/ComponentList.h"

namespace zel::sql::test::integration {

// A component from its nine texts (name, real name, name2, section, group,
// class, type, friendly name, link name), its x, y, z, s and its flags.
Component make_component(std::vector<std::string> texts, std::vector<double> position,
                         std::vector<bool> flags);

// The rows of MIRAN_VIEW_COMPONENTS as the library must deliver them: NULL
// texts empty, NULL positions 0.0, NULL flags false, flag value 2 true, and
// the 304-byte friendly name cut to 255 bytes.
std::vector<Component> expected_miran_components();
ComponentList expected_miran_list();

// A list that no database holds, for backup files written by the tests.
ComponentList backup_only_list();

inline constexpr const char* miran_backup = "db_component_list_MIRAN.txt";

}  // namespace zel::sql::test::integration

#endif  // ZEL_SQL_TESTS_INTEGRATION_SAMPLE_LISTS_H_
