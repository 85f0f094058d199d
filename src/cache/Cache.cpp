#include "zel/sql/Cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>

#include "cache/cache_header.h"
#include "util/digest.h"
#include "util/directory.h"
#include "util/file.h"
#include "util/file_descriptor.h"
#include "util/hex.h"
#include "util/string.h"
#include "util/trusted_file.h"
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

// True when `modified` lies more than `age` before `now`. Worked out in
// seconds and nanoseconds apart, saturating: neither an age of millennia nor
// a file time far in the past or future overflows.
bool is_older_than(const struct timespec& modified, const struct timespec& now,
                   std::chrono::seconds age) {
    long long seconds = 0;
    if (__builtin_sub_overflow(static_cast<long long>(now.tv_sec),
                               static_cast<long long>(modified.tv_sec), &seconds)) {
        // Only a time of the file beyond what a time_t can reach from now.
        return modified.tv_sec < 0;
    }
    const long long nanoseconds = static_cast<long long>(now.tv_nsec) - modified.tv_nsec;
    const long long limit = static_cast<long long>(age.count());
    return seconds > limit || (seconds == limit && nanoseconds > 0);
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
    util::check_no_nul(folder, "Invalid cache folder");
    folder_ = folder;
}

std::string Cache::get_full_file_name(const std::string& sql_query) const {
    const util::Sha3_224Digest digest = util::sha3_224(util::ByteSpan(sql_query));
    return util::cat(folder_, "/", util::to_hex(digest.begin(), digest.end()), ".dat");
}

std::size_t Cache::remove_older_than(std::chrono::seconds age) const {
    namespace fs = std::filesystem;
    // A link in place of the folder could lead the pruning into someone
    // else's files.
    struct stat folder_info {};
    if (::lstat(folder_.c_str(), &folder_info) == 0 && S_ISLNK(folder_info.st_mode)) {
        throw Error(util::cat("Cache folder \"", folder_, "\" refused: a symbolic link"));
    }
    std::error_code error;
    fs::directory_iterator entry(folder_, error);
    if (error) {
        if (error == std::errc::no_such_file_or_directory) {
            return 0;
        }
        throw Error(util::cat("Cannot read cache folder \"", folder_, "\""));
    }
    // Every entry is looked at and removed relative to the folder opened
    // here, never through a path that a swap of the folder could redirect.
    const util::FileDescriptor folder(
        ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const int opened = folder.get();
    if (opened < 0) {
        throw Error(util::cat("Cannot read cache folder \"", folder_, "\""));
    }
    const uid_t euid = ::geteuid();
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::size_t removed = 0;
    for (; entry != fs::directory_iterator(); entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        const std::string file_name = util::cat(folder_, "/", name);
        // The temporary file of a store that died is litter, whatever `age`;
        // it is no cache file and not counted.
        if (util::is_stale_temp_file_at(opened, name, {})) {
            ::unlinkat(opened, name.c_str(), 0);
            continue;
        }
        if (!is_cache_file_name(name)) {
            continue;
        }
        // Not followed: a symbolic link is no cache file, whatever it points
        // to; and a file someone else put here is not this user's to remove.
        struct stat info {};
        if (::fstatat(opened, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode) || info.st_uid != euid) {
            continue;
        }
        if (!is_older_than(info.st_mtim, now, age)) {
            continue;
        }
        if (::unlinkat(opened, name.c_str(), 0) == 0) {
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
    util::check_no_nul(file_name, "Invalid file name");
    // Opened without blocking first: a FIFO at the name must not hang the
    // caller, and a device like /dev/zero is no cache file. The stream then
    // opens the very file that was checked, through its descriptor.
    const util::ReadableFile file(file_name, util::Trust::caller_named);
    if (!file.is_open()) {
        if (!file.refusal().empty()) {
            throw Error(util::cat("Cannot open input file \"", file_name, "\": ", file.refusal()));
        }
        throw Error(util::cat("Cannot open input file \"", file_name, "\""));
    }
    try {
        std::ifstream stream(util::cat("/proc/self/fd/", file.fd()),
                             std::ios::in | std::ios::binary);
        if (stream.is_open()) {
            return stream;
        }
    } catch (const std::exception& e) {
        throw Error(util::cat("Cannot open input file \"", file_name, "\": ", e.what()));
    }
    throw Error(util::cat("Cannot open input file \"", file_name, "\""));
}

std::ofstream Cache::open_file_output_stream(const std::string& file_name) const {
    util::check_no_nul(file_name, "Invalid file name");
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
