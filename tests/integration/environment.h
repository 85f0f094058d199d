#ifndef ZEL_SQL_TESTS_INTEGRATION_ENVIRONMENT_H_
#define ZEL_SQL_TESTS_INTEGRATION_ENVIRONMENT_H_

// Where the integration tests find the environment that test_env.sh set up.
// ctest names it in the test's environment (cmake/ZelSqlTestEnvironment.cmake).

#include <string>

namespace zel::sql::test::integration {

// The folder that test_env.sh filled; throws when the tests were started
// without it, so that a missing environment fails instead of skipping.
std::string environment_dir();

// The setup script that stops and restarts the environment's servers; throws
// like environment_dir().
std::string environment_script();

}  // namespace zel::sql::test::integration

#endif  // ZEL_SQL_TESTS_INTEGRATION_ENVIRONMENT_H_
