#include "cache_file.h"

#include <fstream>
#include <ios>
#include <string_view>
#include <utility>

#include "cache_payload.h"
#include "util/file.h"
#include "util/string.h"
#include "zel/Error.h"

namespace zel::sql::detail {
namespace {

[[noreturn]] void fail(const std::string& file_name, std::string_view reason) {
    throw Error(util::cat("Cache file \"", file_name, "\" ", reason));
}

// Everything after the header; the stream stands at the payload.
std::string read_payload(std::ifstream& stream, const std::string& file_name) {
    const std::streampos start = stream.tellg();
    stream.seekg(0, std::ios::end);
    const std::streampos end = stream.tellg();
    if (start < 0 || end < start || !stream.seekg(start)) {
        fail(file_name, "cannot be read");
    }
    std::string payload(static_cast<std::size_t>(end - start), '\0');
    if (!stream.read(payload.data(), static_cast<std::streamsize>(payload.size())) ||
        stream.peek() != std::ifstream::traits_type::eof()) {
        fail(file_name, "changed while it was read");
    }
    return payload;
}

}  // namespace

QueryResult CacheFiles::load(const Cache& cache, const std::string& sql,
                             const std::string& data_source) {
    const std::string file_name = cache.get_full_file_name(sql);
    std::ifstream stream = cache.open_file_input_stream(file_name);
    try {
        Cache::read_and_check_magic_header(stream);
    } catch (const Error& e) {
        throw Error(util::cat("Cache file \"", file_name, "\": ", e.get_message()));
    }
    CachedQuery cached;
    try {
        cached = read_cache_payload(read_payload(stream, file_name));
    } catch (const PayloadError& e) {
        fail(file_name, e.what());
    }
    if (cached.sql != sql) {
        fail(file_name, util::cat("holds the result of another query: ", cached.sql));
    }
    if (cached.data_source != data_source) {
        fail(file_name, util::cat("was stored through data source \"", cached.data_source,
                                  "\", not \"", data_source, "\""));
    }
    cached.result.from_cache = true;
    return std::move(cached.result);
}

void CacheFiles::store(const Cache& cache, const std::string& sql, const std::string& data_source,
                       const QueryResult& result) {
    cache.create_folder();
    const std::string file_name = cache.get_full_file_name(sql);
    util::AtomicFileWriter file(file_name);
    if (!file.is_open()) {
        throw Error(util::cat("Cannot open output file \"", file_name, "\""));
    }
    file.write(std::string_view(Cache::magic_header, cache_header_size));
    write_cache_payload(sql, data_source, result,
                        [&file](std::string_view bytes) { file.write(bytes); });
    if (!file.commit()) {
        throw Error(util::cat("Error while writing cache file \"", file_name, "\""));
    }
}

}  // namespace zel::sql::detail
