#ifndef ZEL_SQL_TESTS_FUZZ_SCRATCH_DIR_H_
#define ZEL_SQL_TESTS_FUZZ_SCRATCH_DIR_H_

// A private folder for the files that a fuzz target writes and reads back.

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace zel::sql::fuzz {

// Created under the system's temporary directory with a unique name, so that
// parallel fuzzing jobs never share files; removed with its content when the
// fuzzer exits normally.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "zel_sql_fuzz.XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        path_ = pattern;
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    std::string file(const char* name) const { return (path_ / name).string(); }

    // Writes `size` bytes to the file `name` in this folder and returns its path.
    std::string write_file(const char* name, const std::uint8_t* data, std::size_t size) const {
        const std::string path = file(name);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        out.close();
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            std::abort();
        }
        return path;
    }

private:
    std::filesystem::path path_;
};

}  // namespace zel::sql::fuzz

#endif  // ZEL_SQL_TESTS_FUZZ_SCRATCH_DIR_H_
