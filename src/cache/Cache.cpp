#include "zel/sql/Cache.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>

#include "cache/cache_header.h"
#include "util/digest.h"
#include "util/directory.h"
#include "util/hex.h"
#include "util/string.h"
#include "zel/Error.h"

namespace zel::sql {
namespace {

constexpr unsigned int folder_mode = 0755;

// Opens a file stream on `file_name` and returns it, or throws with the
// message that names the direction ("input" or "output").
template <typename FileStream>
FileStream open_stream(const std::string& file_name, std::ios_base::openmode mode,
                       const char* direction) {
    try {
        FileStream stream(file_name, mode);
        if (stream.is_open()) {
            return stream;
        }
    } catch (const std::exception& e) {
        throw Error(util::cat("Cannot open ", direction, " file \"", file_name, "\": ", e.what()));
    }
    throw Error(util::cat("Cannot open ", direction, " file \"", file_name, "\""));
}

// Exactly the names that get_full_file_name gives: 56 lower-case hexadecimal
// digits and ".dat".
bool is_cache_file_name(const std::string& name) {
    constexpr std::size_t digits = 56;
    if (name.size() != digits + 4 || name.compare(digits, 4, ".dat") != 0) {
        return false;
    }
    for (std::size_t i = 0; i < digits; ++i) {
        const char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

}  // namespace

const char Cache::magic_header[17] = "zel_sql_cache_00";

std::string Cache::get_folder() const {
    return folder_;
}

void Cache::set_folder(const std::string& folder) {
    if (folder.empty()) {
        throw Error("Invalid cache folder: \"\"");
    }
    folder_ = folder;
}

std::string Cache::get_full_file_name(const std::string& sql_query) const {
    const util::Sha3_224Digest digest = util::sha3_224(util::ByteSpan(sql_query));
    return util::cat(folder_, "/", util::to_hex(digest.begin(), digest.end()), ".dat");
}

std::size_t Cache::remove_older_than(std::chrono::seconds age) const {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::directory_iterator entry(folder_, error);
    if (error) {
        if (error == std::errc::no_such_file_or_directory) {
            return 0;
        }
        throw Error(util::cat("Cannot read cache folder \"", folder_, "\""));
    }
    const auto now = std::chrono::system_clock::now();
    std::size_t removed = 0;
    for (; entry != fs::directory_iterator(); entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (!is_cache_file_name(name)) {
            continue;
        }
        const std::string file_name = util::cat(folder_, "/", name);
        // lstat: a symbolic link is no cache file, whatever it points to.
        struct stat info {};
        if (::lstat(file_name.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            continue;
        }
        const auto modified = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::seconds(info.st_mtim.tv_sec) +
                std::chrono::nanoseconds(info.st_mtim.tv_nsec)));
        if (now - modified <= age) {
            continue;
        }
        if (::unlink(file_name.c_str()) == 0) {
            ++removed;
        } else if (errno != ENOENT) {  // another process may have pruned it first
            throw Error(util::cat("Cannot remove cache file \"", file_name, "\""));
        }
    }
    if (error) {
        throw Error(util::cat("Cannot read cache folder \"", folder_, "\""));
    }
    return removed;
}

void Cache::create_folder() const {
    if (!util::make_directory(folder_, folder_mode)) {
        throw Error(util::cat("Unable to create cache folder \"", folder_, "\""));
    }
}

std::ifstream Cache::open_file_input_stream(const std::string& file_name) const {
    return open_stream<std::ifstream>(file_name, std::ios::in | std::ios::binary, "input");
}

std::ofstream Cache::open_file_output_stream(const std::string& file_name) const {
    return open_stream<std::ofstream>(file_name, std::ios::out | std::ios::binary, "output");
}

void Cache::read_and_check_magic_header(std::istream& stream) {
    static_assert(sizeof(magic_header) == detail::cache_header_size + 1);
    char header[detail::cache_header_size];
    stream.read(header, detail::cache_header_size);
    if (stream.fail() || stream.bad()) {
        throw Error("Cannot read header");
    }
    const std::string_view found(header, detail::cache_header_size);
    if (found != std::string_view(magic_header, detail::cache_header_size)) {
        throw Error(util::cat("Invalid header \"", found, "\", expected \"", magic_header, "\""));
    }
}

}  // namespace zel::sql
