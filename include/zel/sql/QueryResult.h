#ifndef ZEL_SQL_QUERYRESULT_H_
#define ZEL_SQL_QUERYRESULT_H_

/// @file
/// The rows of a query read through the cache of its data source
/// (Database::read_with_cache), and when the cache may answer instead of the
/// database.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zel::sql {

/// When Database::read_with_cache uses the cached copy of a query's result.
enum class CachePolicy {
    /// Read from the database and store the result; the cached copy only when
    /// the database read fails.
    fallback,
    /// A cached copy younger than the given age without contacting the
    /// database; otherwise as fallback.
    prefer_cache,
    /// Only the cached copy; the database is never contacted.
    cache_only,
};

/// Every row of one query, each value as text.
struct QueryResult {
    std::vector<std::string> column_names;                      ///< as the driver names them
    std::vector<std::vector<std::optional<std::string>>> rows;  ///< std::nullopt = NULL
    bool from_cache = false;  ///< true when the rows come from the cache file
    /// why the database was not used or not stored; empty on full success
    std::string message;
    std::int64_t stored_at = 0;  ///< Unix seconds when these rows were read from the database
    /// the data source that answered; empty when the rows came from the copy
    std::string served_by;
};

}  // namespace zel::sql

#endif  // ZEL_SQL_QUERYRESULT_H_
