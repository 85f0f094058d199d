#ifndef ZEL_SQL_TESTS_SUPPORT_CACHE_FILE_STEPS_H_
#define ZEL_SQL_TESTS_SUPPORT_CACHE_FILE_STEPS_H_

// The private file operations of a Cache that the library's cache file reader
// and writer are made of, opened to the tests that check them one by one. As a
// member of detail::CacheFiles, which Cache befriends, it may call them.

#include <fstream>
#include <istream>
#include <string>

#include "cache/cache_file.h"
#include "cache/cache_header.h"
#include "zel/sql/Cache.h"

namespace zel::sql::detail {

struct CacheFiles::Steps {
    static void create_folder(const Cache& cache) { cache.create_folder(); }
    static std::ifstream open_file_input_stream(const Cache& cache, const std::string& file_name) {
        return cache.open_file_input_stream(file_name);
    }
    static std::ofstream open_file_output_stream(const Cache& cache, const std::string& file_name) {
        return cache.open_file_output_stream(file_name);
    }
    static void read_and_check_magic_header(std::istream& stream) {
        Cache::read_and_check_magic_header(stream);
    }
    static std::string magic_header() {
        return std::string(Cache::magic_header, cache_header_size);
    }
};

}  // namespace zel::sql::detail

#endif  // ZEL_SQL_TESTS_SUPPORT_CACHE_FILE_STEPS_H_
