#ifndef ZEL_SQL_CACHE_CACHE_FILE_H_
#define ZEL_SQL_CACHE_CACHE_FILE_H_

// Storing a query's result in its cache file and loading it back. Internal:
// not exported.

#include <optional>
#include <string>

#include "cache/cache_payload.h"
#include "zel/sql/Cache.h"
#include "zel/sql/QueryResult.h"

namespace zel::sql::detail {

/// The reader and writer of cache files; a friend of Cache, whose folder,
/// file names and header it uses.
class CacheFiles {
public:
    /// The result cached for exactly `sql`, stored through `data_source`, with
    /// from_cache true and message empty. A large copy's check sum is taken
    /// on a thread of its own only when `digest_thread` allows it.
    /// @throws zel::Error naming the cache file: a file that cannot be opened,
    /// a wrong header, an unknown format version, a damaged or truncated
    /// payload, another query's or another data source's copy.
    static QueryResult load(const Cache& cache, const std::string& sql,
                            const std::string& data_source,
                            DigestThread digest_thread = DigestThread::caller);

    /// What the cache file `file_name` holds, read under the trust rule of
    /// the files the library falls back on and checked as load() checks it,
    /// save for its query and data source. std::nullopt when there is no file
    /// of that name.
    /// @throws CacheCopyError naming the file, with load()'s messages.
    /// The payload's digest is computed on the calling thread unless
    /// `digest_thread` allows a thread of its own (see read_cache_payload).
    static std::optional<CachedQuery> read(const std::string& file_name,
                                           DigestThread digest_thread = DigestThread::caller);

    /// Replaces the cache file of `sql` atomically with `result` (column
    /// names, rows and stored_at), creating the cache folder first. A reader
    /// sees the old file or the new one, never a part of it; on failure the
    /// old file stays as it was and no temporary file remains.
    /// @throws zel::Error naming the folder or the file.
    static void store(const Cache& cache, const std::string& sql, const std::string& data_source,
                      const QueryResult& result);

    /// The Cache's own file operations that load and store are made of, one
    /// by one; defined by the tests (tests/support/cache_file_steps.h), which
    /// check each step apart.
    struct Steps;
};

}  // namespace zel::sql::detail

#endif  // ZEL_SQL_CACHE_CACHE_FILE_H_
