// The cache file header check on arbitrary bytes, from memory and from a file
// opened the way the cache opens it, and the cache file name of arbitrary
// folder and query texts.

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <istream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "cache_file_steps.h"
#include "fuzz_check.h"
#include "test_support.h"
#include "util/string.h"
#include "zel/Error.h"
#include "zel/sql/Cache.h"

namespace {

using zel::sql::Cache;
using CacheFiles = zel::sql::detail::CacheFiles::Steps;
using zel::sql::test::fuzz::check;

constexpr std::string_view magic = "zel_sql_cache_00";

// A folder of this process's own, so that parallel fuzzing jobs never share
// files; removed when the fuzzer exits normally.
const zel::sql::test::TempDir& scratch() {
    static const zel::sql::test::TempDir dir;
    return dir;
}

// The message the header check must throw for `content`, or nothing when the
// content begins with the magic header.
std::optional<std::string> expected_header_error(std::string_view content) {
    if (content.size() < magic.size()) {
        return "Cannot read header";
    }
    const std::string_view found = content.substr(0, magic.size());
    if (found != magic) {
        return "Invalid header \"" + std::string(found) + "\", expected \"" + std::string(magic) +
               "\"";
    }
    return std::nullopt;
}

void check_header(std::istream& stream, std::string_view content, const char* source) {
    const std::optional<std::string> expected = expected_header_error(content);
    try {
        CacheFiles::read_and_check_magic_header(stream);
    } catch (const zel::Error& e) {
        // what() is a C string: a header byte of zero ends the message there.
        check(expected.has_value() && e.what() == expected->substr(0, expected->find('\0')),
              std::string("header check from ") + source + " threw \"" + e.what() + "\"");
        return;
    }
    check(!expected.has_value(),
          std::string("header check from ") + source + " accepted a wrong header");
    check(stream.tellg() == static_cast<std::streamoff>(magic.size()),
          std::string("header check from ") + source + " left the stream off the payload");
}

bool is_lower_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// The folder is the input's first line, the query text the whole input.
void check_file_name(std::string_view content) {
    const std::string folder(content.substr(0, content.find('\n')));
    const std::string query(content);

    Cache cache;
    try {
        cache.set_folder(folder);
    } catch (const zel::Error& e) {
        // Refused: the empty folder, and a folder with a NUL, which the
        // system would cut there.
        const bool has_nul = folder.find('\0') != std::string::npos;
        check((folder.empty() && e.what() == std::string("Invalid cache folder: \"\"")) ||
                  (has_nul && zel::util::starts_with(e.what(), "Invalid cache folder: \"")),
              std::string("set_folder threw \"") + e.what() + "\"");
        check(cache.get_folder() == "db_cache", "a refused folder replaced the old one");
        return;
    }
    check(!folder.empty(), "set_folder accepted an empty folder");
    check(folder.find('\0') == std::string::npos, "set_folder accepted a NUL");
    check(cache.get_folder() == folder, "set_folder changed the folder's text");

    const std::string name = cache.get_full_file_name(query);
    check(name.size() == folder.size() + 61, "cache file name of the wrong length: " + name);
    check(name.compare(0, folder.size() + 1, folder + "/") == 0,
          "cache file name outside its folder: " + name);
    for (std::size_t i = folder.size() + 1; i < folder.size() + 57; ++i) {
        check(is_lower_hex(name[i]), "digest digit outside 0-9, a-f: " + name);
    }
    check(name.compare(folder.size() + 57, 4, ".dat") == 0, "cache file name suffix: " + name);
    check(cache.get_full_file_name(query) == name, "cache file name is not stable: " + name);
    check(cache.get_full_file_name(query + " ") != name,
          "two query texts share a cache file name: " + name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);

    std::istringstream memory{std::string(content)};
    check_header(memory, content, "memory");

    const std::string path = scratch().file("cache.dat");
    zel::sql::test::write_file(path, content);
    const Cache cache;
    std::ifstream file = CacheFiles::open_file_input_stream(cache, path);
    check_header(file, content, "a file");

    check_file_name(content);
    return 0;
}
