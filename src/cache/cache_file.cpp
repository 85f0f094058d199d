#include "cache/cache_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string_view>
#include <utility>

#include "cache/cache_payload.h"
#include "util/file.h"
#include "util/string.h"
#include "zel/Error.h"

namespace zel::sql::detail {
namespace {

[[noreturn]] void fail(const std::string& file_name, std::string_view reason) {
    throw Error(util::cat("Cache file \"", file_name, "\" ", reason));
}

// A whole file mapped into memory, read-only; the mapping ends with the object.
// The pages come straight from the page cache, with no copy and no zeroed
// buffer in between: a cache hit costs little more than building its rows.
class MappedFile {
public:
    explicit MappedFile(const std::string& file_name) {
        const int fd = ::open(file_name.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        struct stat info {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
            size_ = static_cast<std::size_t>(info.st_size);
            if (size_ == 0) {
                ok_ = true;
            } else {
                void* data = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
                if (data != MAP_FAILED) {
                    data_ = static_cast<const char*>(data);
                    ok_ = true;
                }
            }
        }
        ::close(fd);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile() {
        if (data_ != nullptr) {
            ::munmap(const_cast<char*>(data_), size_);
        }
    }

    bool ok() const { return ok_; }
    std::string_view bytes() const {
        return std::string_view(data_ == nullptr ? "" : data_, size_);
    }

private:
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    bool ok_ = false;
};

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
    // The stream has shown that the file opens and begins with the header;
    // the payload is read from a mapping of the same name. Should the file
    // have been replaced in between, the mapping holds another complete file
    // of the same query, whose header is checked once more here.
    const MappedFile file(file_name);
    if (!file.ok()) {
        fail(file_name, "cannot be read");
    }
    const std::string_view bytes = file.bytes();
    if (bytes.compare(0, cache_header_size,
                      std::string_view(Cache::magic_header, cache_header_size)) != 0) {
        fail(file_name, "changed while it was read");
    }
    CachedQuery cached;
    try {
        cached = read_cache_payload(bytes.substr(cache_header_size));
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
