#include "zel/sql/Cache.h"

#include <exception>
#include <utility>

#include "util/digest.h"
#include "util/directory.h"
#include "util/hex.h"
#include "util/string.h"
#include "zel/Error.h"

namespace zel::sql {
namespace {

constexpr std::size_t magic_header_len = 16;
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
    char header[magic_header_len];
    stream.read(header, magic_header_len);
    if (stream.fail() || stream.bad()) {
        throw Error("Cannot read header");
    }
    const std::string_view found(header, magic_header_len);
    if (found != std::string_view(magic_header, magic_header_len)) {
        throw Error(util::cat("Invalid header \"", found, "\", expected \"", magic_header, "\""));
    }
}

}  // namespace zel::sql
