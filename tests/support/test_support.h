#ifndef ZEL_SQL_TESTS_SUPPORT_TEST_SUPPORT_H_
#define ZEL_SQL_TESTS_SUPPORT_TEST_SUPPORT_H_

// Helpers that the unit, fake ODBC, integration and fuzz tests share: scratch
// folders, whole files, the message of a thrown zel::Error, and a child process
// whose files may not grow beyond a limit.
//
// Nothing here depends on GoogleTest, so that the fuzz targets can use it too.
// A helper whose precondition breaks (a folder that cannot be made, a file that
// cannot be read, an action that throws nothing) throws instead: out of a test
// body that fails the test, out of a fuzz target it stops the run.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zel::sql::test {

/// A fresh folder under the system's temporary folder, removed with all its
/// content when the object is destroyed. Tests run as separate processes in
/// parallel, so every test gets a folder of its own.
class TempDir {
public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    const std::string& path() const { return path_; }

    /// The path of `name` inside the folder.
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    /// The names of everything in the folder, sorted.
    std::vector<std::string> entries() const;

private:
    std::string path_;
};

/// Makes `folder` the working directory of the process for the lifetime of
/// the object; the previous one comes back on destruction, also when a test
/// fails part way.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& folder);
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;
    ~WorkingDirectory();

private:
    std::string previous_;
};

/// A TempDir that is the working directory for its lifetime, for code that
/// writes files next to the caller (default backup names, cache folders).
class TempWorkingDir {
public:
    TempWorkingDir() : cwd_(dir_.path()) {}

    const std::string& path() const { return dir_.path(); }
    std::string file(const std::string& name) const { return dir_.file(name); }

private:
    TempDir dir_;  // made before it becomes the working directory, removed after
    WorkingDirectory cwd_;
};

/// The whole content of the file at `path`; throws when it cannot be read.
std::string read_file(const std::string& path);

/// Replaces the content of the file at `path` by `content`; throws when that
/// fails.
void write_file(const std::string& path, std::string_view content);

/// The permission bits of `path`.
unsigned int permissions_of(const std::string& path);

/// Sets the process's umask for the lifetime of the object.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask);
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;
    ~ScopedUmask();

private:
    mode_t previous_;
};

/// The number of threads of this process, from /proc/self/task.
std::size_t thread_count();

/// thread_count() less the helpers of bounded calls that wait idle for the
/// next call (each ends a few seconds after its last call): what a test
/// counts to see that the helpers of given-up calls are back.
std::size_t threads_at_work();

// Whether `done` holds within `patience`, asked every 10 ms.
bool eventually(std::chrono::milliseconds patience, const std::function<bool()>& done);

/// The message of the zel::Error that `action` throws. Any other exception
/// passes through; when `action` throws nothing, a std::logic_error says so.
std::string error_message(const std::function<void()>& action);

/// Runs `action` in a forked child process whose files may not grow beyond
/// `limit` bytes, and returns what `action` returned there. SIGXFSZ is ignored
/// in the child, so a write past the limit fails with EFBIG instead of killing
/// it. Throws when the child cannot be started, `action` throws, or the child
/// ends without a complete report.
std::string run_with_file_size_limit(std::size_t limit, const std::function<std::string()>& action);

/// The name of the throwaway account that plays the other local user in the
/// tests of files others control; the integration test setup creates it.
inline constexpr const char* other_user = "zel_sql_attacker";

/// Groups the integration test setup creates beside `other_user`: one that
/// the user running the tests shares with him, and one whose only member is
/// the user running the tests.
inline constexpr const char* shared_group = "zel_sql_shared";
inline constexpr const char* owner_only_group = "zel_sql_solo";

/// Runs `action` in a forked child process that has become `user` (uid, gid
/// and the groups the group database gives him), and returns what `action`
/// returned there. Needs
/// root. Throws when the user does not exist or cannot be become, or when
/// `action` throws.
std::string run_as_user(const std::string& user, const std::function<std::string()>& action);

/// The id, in decimal, of a process that has just ended: the id of a writer
/// that died. Ids are handed out in turn, so it stays free for a while.
std::string dead_pid();

}  // namespace zel::sql::test

#endif  // ZEL_SQL_TESTS_SUPPORT_TEST_SUPPORT_H_
