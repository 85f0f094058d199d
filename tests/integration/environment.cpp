#include "environment.h"

#include <cstdlib>
#include <stdexcept>

namespace zel::sql::test::integration {
namespace {

std::string required_variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        throw std::runtime_error(std::string(name) +
                                 " is not set: run the integration tests through ctest, "
                                 "which sets up the database servers first");
    }
    return value;
}

}  // namespace

std::string environment_dir() {
    return required_variable("ZEL_SQL_TEST_ENV");
}

std::string environment_script() {
    return required_variable("ZEL_SQL_TEST_ENV_SCRIPT");
}

}  // namespace zel::sql::test::integration
