#include "test_support.h"

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "odbc/bounded_wait.h"
#include "zel/Error.h"

namespace zel::sql::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zel_sql_test.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> TempDir::entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

WorkingDirectory::WorkingDirectory(const std::string& folder)
    : previous_(std::filesystem::current_path().string()) {
    std::filesystem::current_path(folder);
}

WorkingDirectory::~WorkingDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

unsigned int permissions_of(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        throw std::system_error(errno, std::generic_category(), "stat " + path);
    }
    return static_cast<unsigned int>(info.st_mode) & 07777U;
}

ScopedUmask::ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}

ScopedUmask::~ScopedUmask() {
    ::umask(previous_);
}

std::size_t thread_count() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

std::size_t threads_at_work() {
    // Counted between two looks at the idle helpers that agree, so that a
    // helper that takes a call or ends meanwhile is not miscounted. One that
    // has just ended may be counted until its thread is gone.
    for (;;) {
        const std::size_t idle = sql::detail::idle_bounded_helpers();
        const std::size_t threads = thread_count();
        if (sql::detail::idle_bounded_helpers() == idle) {
            return threads - idle;
        }
    }
}

bool eventually(std::chrono::milliseconds patience, const std::function<bool()>& done) {
    const auto give_up = std::chrono::steady_clock::now() + patience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > give_up) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string error_message(const std::function<void()>& action) {
    try {
        action();
    } catch (const Error& e) {
        return e.get_message();
    }
    throw std::logic_error("expected a zel::Error, but nothing was thrown");
}

namespace {

// How a child of run_in_child ends; anything but `reported` comes with the
// reason as its report.
enum ChildExit { reported = 0, not_prepared = 1, action_threw = 2, report_lost = 3 };

// `prepare` readies the child (a limit, another user) and returns "" or why it
// could not.
[[noreturn]] void run_child(int report_fd, const std::function<std::string()>& prepare,
                            const std::function<std::string()>& action) {
    ChildExit exit_code = reported;
    std::string report = prepare();
    if (!report.empty()) {
        exit_code = not_prepared;
    } else {
        try {
            report = action();
        } catch (const std::exception& e) {
            exit_code = action_threw;
            report = std::string("threw ") + e.what();
        } catch (...) {
            exit_code = action_threw;
            report = "threw something that is no std::exception";
        }
    }
    for (std::size_t sent = 0; sent < report.size();) {
        const ssize_t n = ::write(report_fd, report.data() + sent, report.size() - sent);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            exit_code = report_lost;
            break;
        }
        sent += static_cast<std::size_t>(n);
    }
    // Not exit(): the child must not run the parent's exit handlers or flush
    // its buffers a second time.
    ::_exit(exit_code);
}

// Helpers of bounded operations that wait idle for the next one would be in
// a forked child only as what they own (their thread-local state, their
// thread's control block), which a leak check of the child, valgrind's,
// reports as lost. They end after a short idle wait, so the child is made
// once this thread runs alone, or after 10 s anyway.
void wait_until_this_thread_runs_alone() {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (thread_count() > 1 && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Runs `action` in a forked child readied by `prepare` and returns its
// report; `what` names the child in errors.
std::string run_in_child(const std::string& what, const std::function<std::string()>& prepare,
                         const std::function<std::string()>& action) {
    wait_until_this_thread_runs_alone();
    int fds[2];
    if (::pipe(fds) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        throw std::system_error(error, std::generic_category(), "fork");
    }
    if (child == 0) {
        ::close(fds[0]);
        run_child(fds[1], prepare, action);
    }
    ::close(fds[1]);
    std::string report;
    char buffer[512];
    for (;;) {
        const ssize_t n = ::read(fds[0], buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        report.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "waitpid");
        }
    }
    if (WIFSIGNALED(status)) {
        throw std::runtime_error("the child " + what + " was killed by signal " +
                                 std::to_string(WTERMSIG(status)));
    }
    if (WEXITSTATUS(status) != reported) {
        throw std::runtime_error("the child " + what + " failed (exit status " +
                                 std::to_string(WEXITSTATUS(status)) + "): " + report);
    }
    return report;
}

}  // namespace

std::string run_with_file_size_limit(std::size_t limit,
                                     const std::function<std::string()>& action) {
    const auto limit_file_size = [limit]() -> std::string {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit file_size{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
        return ::setrlimit(RLIMIT_FSIZE, &file_size) == 0 ? "" : "setrlimit failed";
    };
    return run_in_child("under a file size limit", limit_file_size, action);
}

std::string run_as_user(const std::string& user, const std::function<std::string()>& action) {
    const passwd* const account = ::getpwnam(user.c_str());
    if (account == nullptr) {
        throw std::runtime_error("there is no user " + user +
                                 " (the integration test setup creates it when run as root)");
    }
    const uid_t uid = account->pw_uid;
    const gid_t gid = account->pw_gid;
    // His groups are looked up here, before the fork: the child of a process
    // with threads should not read the group database.
    std::vector<gid_t> groups(64);
    for (;;) {
        int count = static_cast<int>(groups.size());
        if (::getgrouplist(user.c_str(), gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<std::size_t>(count));
            break;
        }
        groups.resize(static_cast<std::size_t>(count) > groups.size()
                          ? static_cast<std::size_t>(count)
                          : 2 * groups.size());
    }
    const auto become_user = [uid, gid, groups]() -> std::string {
        if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(gid) != 0 ||
            ::setuid(uid) != 0) {
            return std::string("cannot become the other user: ") + std::strerror(errno);
        }
        return "";
    };
    return run_in_child("as " + user, become_user, action);
}

std::string dead_pid() {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    if (child < 0) {
        throw std::system_error(errno, std::generic_category(), "fork");
    }
    ::waitpid(child, nullptr, 0);
    return std::to_string(child);
}

}  // namespace zel::sql::test
