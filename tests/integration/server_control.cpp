#include "server_control.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <stdexcept>

#include "environment.h"

namespace zel::sql::test::integration {
namespace {

// Runs "test_env.sh <action> <environment> <cluster>"; throws when it fails.
void run_environment_script(const std::string& action, const std::string& cluster) {
    const std::string command =
        "bash '" + environment_script() + "' " + action + " '" + environment_dir() + "' " + cluster;
    const int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("failed: " + command);
    }
}

}  // namespace

ServerHalt::ServerHalt(std::string cluster) : cluster_(std::move(cluster)) {
    run_environment_script("halt", cluster_);
}

ServerHalt::~ServerHalt() {
    try {
        run_environment_script("resume", cluster_);
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
}

void crash_server(const std::string& cluster) {
    run_environment_script("crash", cluster);
}

void resume_server(const std::string& cluster) {
    run_environment_script("resume", cluster);
}

}  // namespace zel::sql::test::integration
