#ifndef ZEL_SQL_CACHE_CACHE_HEADER_H_
#define ZEL_SQL_CACHE_CACHE_HEADER_H_

// The fixed header with which every cache file begins. Internal: not
// installed.

#include <cstddef>

namespace zel::sql::detail {

/// Length of the header "zel_sql_cache_00" (Cache::magic_header without its
/// terminating NUL); the payload starts at this offset.
inline constexpr std::size_t cache_header_size = 16;

}  // namespace zel::sql::detail

#endif  // ZEL_SQL_CACHE_CACHE_HEADER_H_
