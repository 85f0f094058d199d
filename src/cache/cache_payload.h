#ifndef ZEL_SQL_CACHE_CACHE_PAYLOAD_H_
#define ZEL_SQL_CACHE_CACHE_PAYLOAD_H_

// The payload of a cache file: everything after its header (cache_header.h). The
// layout is described byte by byte in docs/cache_file_format.md. Internal: not
// exported.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "cache/cache_header.h"
#include "zel/sql/CacheCopy.h"
#include "zel/sql/QueryResult.h"

namespace zel::sql::detail {

/// The payload layout that this library writes and reads.
inline constexpr std::uint32_t cache_format_version = 1;

/// What a cache file holds: the query, the data source that stored its
/// result, and the result (column names, rows and stored_at).
using CachedQuery = CacheCopy;

/// Why a payload cannot be used. what() completes a sentence that begins with
/// the cache file's name ("has unknown format version 2 (expected 1)");
/// reason() says the same on its own ("unknown format version 2 (expected
/// 1)").
class PayloadError : public std::runtime_error {
public:
    PayloadError(const std::string& message, std::string reason)
        : std::runtime_error(message), reason_(std::move(reason)) {}

    const std::string& reason() const noexcept { return reason_; }

private:
    std::string reason_;
};

/// Encodes the payload for `sql`, stored through `data_source`, holding
/// `result`'s column names, rows and stored_at. The bytes are handed to
/// `write` in pieces, in order.
/// @throws zel::Error when a text is too long for its 32-bit length field
/// (4 GiB) or a row has not one value per column.
void write_cache_payload(const std::string& sql, const std::string& data_source,
                         const QueryResult& result,
                         const std::function<void(std::string_view)>& write);

/// Where the check sum of a payload is taken.
enum class DigestThread {
    caller,         ///< on the calling thread, before the fields are decoded
    own_for_large,  ///< a payload of 1 MiB or more on a thread of its own,
                    ///< while the fields are decoded
};

/// Decodes a payload (the cache file without its header). Never allocates
/// more than the payload's own size allows: every length and count is checked
/// against the bytes that are left before anything is allocated for it.
/// No thread is started unless `digest_thread` allows it.
/// @throws PayloadError for an unknown format version, a payload whose size,
/// check sum or structure is wrong.
CachedQuery read_cache_payload(std::string_view payload,
                               DigestThread digest_thread = DigestThread::caller);

}  // namespace zel::sql::detail

#endif  // ZEL_SQL_CACHE_CACHE_PAYLOAD_H_
