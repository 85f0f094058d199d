// Reading any query through the cache of its data source. Internal: not
// installed; Database::read_with_cache() is the public entry.
#pragma once

#include <chrono>
#include <string>

#include "zel/sql/Cache.h"
#include "zel/sql/Database.h"
#include "zel/sql/QueryResult.h"

namespace zel::sql::detail {

/// Database::read_with_cache() for `db`: every row of `sql` read through
/// `db` under its wait limit and stored in its cache, or the cached copy,
/// as `policy` and `max_age` say. See Database.h for the whole contract.
QueryResult read_with_cache(Database& db, const std::string& sql, CachePolicy policy,
                            std::chrono::seconds max_age);

}  // namespace zel::sql::detail
