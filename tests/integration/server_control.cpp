#include "server_control.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <thread>

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

std::string first_line_of(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    if (!std::getline(file, line) || line.empty()) {
        throw std::runtime_error("cannot read " + path);
    }
    return line;
}

// The folder of a server as test_env.sh places it: below the environment, or
// where its .location file says.
std::string server_folder(const std::string& server) {
    const bool mariadb = server.rfind("mariadb-", 0) == 0;
    const std::string base = environment_dir() + "/" + (mariadb ? server : "pg-" + server);
    return std::filesystem::exists(base + ".location") ? first_line_of(base + ".location") : base;
}

// The process of the server itself, from its pid file.
pid_t server_process(const std::string& server) {
    const std::string folder = server_folder(server);
    const bool mariadb = server.rfind("mariadb-", 0) == 0;
    return std::stoi(first_line_of(folder + (mariadb ? "/mariadbd.pid" : "/data/postmaster.pid")));
}

// The fields after the command of /proc/<pid>/stat or /proc/<pid>/task/<tid>/
// stat: the command may hold spaces and parentheses, so they are counted from
// the last ')'. Empty when the process has ended.
std::string stat_fields(const std::filesystem::path& stat_file) {
    std::ifstream stat(stat_file);
    std::string line;
    if (!std::getline(stat, line)) {
        return "";
    }
    const auto close = line.rfind(')');
    return close == std::string::npos ? "" : line.substr(close + 1);
}

std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        char state = 0;
        int ppid = 0;
        if (std::sscanf(stat_fields(entry.path() / "stat").c_str(), " %c %d", &state, &ppid) == 2 &&
            ppid == parent) {
            children.push_back(std::stoi(name));
        }
    }
    return children;
}

// kill() only starts a stop: each thread stops when it next runs, and on a
// busy machine a thread may first answer a request that has just arrived.
bool all_threads_stopped(pid_t pid) {
    std::error_code error;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        char state = 0;
        std::sscanf(stat_fields(task.path() / "stat").c_str(), " %c", &state);
        // An ended thread (Z, X, gone) does nothing either.
        if (state != 'T' && state != 't' && state != 'Z' && state != 'X' && state != 0) {
            return false;
        }
    }
    return !error;
}

}  // namespace

ServerPause::ServerPause(const std::string& server) {
    try {
        const pid_t main = server_process(server);
        stop(main);
        if (server.rfind("mariadb-", 0) != 0) {
            for (const pid_t child : children_of(main)) {
                stop(child);
            }
        }
    } catch (...) {
        resume();
        throw;
    }
}

ServerPause::~ServerPause() {
    resume();
}

void ServerPause::stop(pid_t pid) {
    if (::kill(pid, SIGSTOP) != 0) {
        throw std::runtime_error("cannot stop process " + std::to_string(pid) + ": " +
                                 std::strerror(errno));
    }
    stopped_.push_back(pid);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!all_threads_stopped(pid)) {
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("process " + std::to_string(pid) +
                                     " did not stop within 10 s");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void ServerPause::resume() {
    while (!stopped_.empty()) {
        ::kill(stopped_.back(), SIGCONT);
        stopped_.pop_back();
    }
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

}  // namespace zel::sql::test::integration
