#ifndef ZEL_SQL_TESTS_UNIT_TEMP_DIR_H_
#define ZEL_SQL_TESTS_UNIT_TEMP_DIR_H_

// Scratch folders and whole-file helpers for the tests that touch the disk.

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace zel::sql::testing {

/// A fresh folder under the system's temporary directory, removed with all
/// its content when the object goes out of scope. Tests run as separate
/// processes in parallel, so every test gets a folder of its own.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "zel_sql_unit.XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed for " + pattern);
        }
        path_ = pattern;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    const std::string& path() const { return path_; }

    /// The path of `name` inside the folder.
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    /// The names of everything in the folder, sorted.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::string path_;
};

inline void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// The permission bits of `path`.
inline unsigned int permissions_of(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        throw std::runtime_error("cannot stat " + path);
    }
    return static_cast<unsigned int>(info.st_mode) & 07777U;
}

/// Sets the process's umask for the lifetime of the object.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;
    ~ScopedUmask() { ::umask(previous_); }

private:
    mode_t previous_;
};

}  // namespace zel::sql::testing

#endif  // ZEL_SQL_TESTS_UNIT_TEMP_DIR_H_
