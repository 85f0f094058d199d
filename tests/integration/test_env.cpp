#include "test_env.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "test_support.h"
#include "zel/Error.h"

namespace zel::sql::integration {
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

// Runs "test_env.sh <action> <environment> <cluster>"; throws when it fails.
void run_environment_script(const std::string& action, const std::string& cluster) {
    const std::string command = "bash '" + required_variable("ZEL_SQL_TEST_ENV_SCRIPT") + "' " +
                                action + " '" + environment_dir() + "' " + cluster;
    const int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("failed: " + command);
    }
}

}  // namespace

std::string environment_dir() {
    return required_variable("ZEL_SQL_TEST_ENV");
}

std::unique_ptr<Database> open_database(const Backend& backend) {
    if (backend.is_sqlite) {
        auto db = std::make_unique<Database>(backend.data_source, "", "");
        db->send_query("ATTACH DATABASE '" + environment_dir() + "/tavik.sqlite' AS TAVIK");
        return db;
    }
    return std::make_unique<Database>(backend.data_source, reader, reader_password);
}

void expect_login_accepted(const char* data_source) {
    Database db(data_source, reader, reader_password);
    try {
        Query query = db.send_query("SELECT 1");
        EXPECT_TRUE(query.fetch()) << data_source;
    } catch (const Error& e) {
        ADD_FAILURE() << data_source << ": " << e.get_message();
    }
}

std::string expected_long_text() {
    std::string text;
    char field[8];
    for (int i = 0; i < 500; ++i) {
        std::snprintf(field, sizeof(field), "%04d,", i);
        text += field;
    }
    return text;
}

std::vector<unsigned char> expected_payload() {
    std::vector<unsigned char> payload(5000);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<unsigned char>((7 * i + 3) % 256);
    }
    return payload;
}

std::map<std::string, std::string> folder_snapshot(const std::string& folder) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_symlink()) {
            entries[name] = "-> " + std::filesystem::read_symlink(entry.path()).string();
        } else if (entry.is_directory()) {
            entries[name] = "<folder>";
        } else {
            entries[name] = test_support::read_file(entry.path().string());
        }
    }
    return entries;
}

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

void wait_for_login(const char* data_source) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::string last_error;
    while (std::chrono::steady_clock::now() < deadline) {
        try {
            Database db(data_source, reader, reader_password);
            Query query = db.send_query("SELECT 1");
            if (query.fetch()) {
                return;
            }
        } catch (const Error& e) {
            last_error = e.get_message();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ADD_FAILURE() << data_source << " refuses logins after 30 s: " << last_error;
}

}  // namespace zel::sql::integration
