#include "cache/cache_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <optional>
#include <sstream>
#include <string_view>
#include <utility>

#include "util/error_text.h"
#include "util/file.h"
#include "util/file_descriptor.h"
#include "util/string.h"
#include "util/trusted_file.h"
#include "zel/Error.h"
#include "zel/sql/CacheCopy.h"

namespace zel::sql::detail {
namespace {

[[noreturn]] void fail(const std::string& file_name, CacheCopyError::Kind kind,
                       std::string_view text, std::string reason) {
    throw CacheCopyError(util::cat("Cache file \"", file_name, "\" ", text), kind,
                         std::move(reason));
}

[[noreturn]] void fail(const std::string& file_name, CacheCopyError::Kind kind,
                       const std::string& reason) {
    fail(file_name, kind, reason, reason);
}

// The cache folder, opened under the rule that reading applies: a copy is
// stored only where it would be read back.
// @throws Error when the folder is one that others could change, or cannot
// be opened.
int open_trusted_folder(const std::string& folder) {
    util::TrustedOpen opened = util::open_trusted(folder, util::TrustedKind::folder);
    if (!opened.refusal.empty()) {
        throw Error(util::cat("Cache folder \"", folder, "\" refused: ", opened.refusal));
    }
    if (opened.fd < 0) {
        throw Error(util::cat("Cannot open cache folder \"", folder,
                              "\": ", util::error_text(opened.error)));
    }
    return opened.fd;
}

}  // namespace

std::optional<CachedQuery> CacheFiles::read(const std::string& file_name,
                                            DigestThread digest_thread) {
    using Kind = CacheCopyError::Kind;
    // The copy is read by plain reads into memory, never mapped: a file cut
    // short by someone else while it is read must give an error, not SIGBUS.
    util::ReadableFile file(file_name, util::Trust::owner_checked);
    if (!file.is_open()) {
        if (!file.refusal().empty()) {
            fail(file_name, Kind::not_trusted, util::cat("refused: ", file.refusal()),
                 file.refusal());
        }
        if (file.error_number() == ENOENT || file.error_number() == ENOTDIR) {
            return std::nullopt;
        }
        throw CacheCopyError(
            util::cat("Cannot open input file \"", file_name, "\""), Kind::unreadable,
            util::cat("cannot be opened: ", util::error_text(file.error_number())));
    }
    std::string bytes;
    try {
        std::string why;
        if (!file.read_all(bytes, why)) {
            fail(file_name, Kind::unreadable, why);
        }
    } catch (const std::bad_alloc&) {
        fail(file_name, Kind::unreadable, "is too large: out of memory while reading it");
    }
    try {
        std::istringstream header(bytes.substr(0, cache_header_size));
        Cache::read_and_check_magic_header(header);
    } catch (const Error& e) {
        throw CacheCopyError(util::cat("Cache file \"", file_name, "\": ", e.get_message()),
                             Kind::damaged, e.get_message());
    }
    CachedQuery cached;
    try {
        cached =
            read_cache_payload(std::string_view(bytes).substr(cache_header_size), digest_thread);
    } catch (const PayloadError& e) {
        fail(file_name, Kind::damaged, e.what(), e.reason());
    } catch (const std::bad_alloc&) {
        fail(file_name, Kind::unreadable, "is too large: out of memory while reading it");
    }
    cached.result.from_cache = true;
    return cached;
}

QueryResult CacheFiles::load(const Cache& cache, const std::string& sql,
                             const std::string& data_source, DigestThread digest_thread) {
    const std::string file_name = cache.get_full_file_name(sql);
    std::optional<CachedQuery> cached = read(file_name, digest_thread);
    if (!cached) {
        throw Error(util::cat("Cannot open input file \"", file_name, "\""));
    }
    if (cached->sql != sql) {
        throw Error(util::cat("Cache file \"", file_name, "\" holds the result of another query: ",
                              util::excerpt_for_message(cached->sql)));
    }
    if (cached->data_source != data_source) {
        throw Error(util::cat("Cache file \"", file_name, "\" was stored through data source \"",
                              util::excerpt_for_message(cached->data_source), "\", not \"",
                              data_source, "\""));
    }
    return std::move(cached->result);
}

void CacheFiles::store(const Cache& cache, const std::string& sql, const std::string& data_source,
                       const QueryResult& result) {
    cache.create_folder();
    // Nothing is stored where others could read it back changed; and the
    // file lands in the folder that was checked, whatever is put at its name.
    const util::FileDescriptor folder(open_trusted_folder(cache.get_folder()));
    const std::string file_name = cache.get_full_file_name(sql);
    const std::string name = file_name.substr(file_name.rfind('/') + 1);
    util::AtomicFileWriter file(folder.get(), name, util::AtomicFileWriter::Mode::private_to_owner);
    if (!file.is_open()) {
        throw Error(util::cat("Cannot open output file \"", file_name, "\": ", file.error_text()));
    }
    file.write(std::string_view(Cache::magic_header, cache_header_size));
    write_cache_payload(sql, data_source, result,
                        [&file](std::string_view bytes) { file.write(bytes); });
    if (!file.commit()) {
        throw Error(
            util::cat("Error while writing cache file \"", file_name, "\": ", file.error_text()));
    }
}

}  // namespace zel::sql::detail
