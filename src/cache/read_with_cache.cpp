// Reading any query through the cache of its data source: every successful
// read is stored, and the last good copy answers when the database cannot.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "cache/cache_file.h"
#include "odbc/join_errors.h"
#include "odbc/text_rows.h"
#include "util/string.h"
#include "zel/Error.h"
#include "zel/sql/Database.h"

namespace zel::sql {
namespace {

std::int64_t unix_seconds_now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Every row of `sql`, every value read whole as text.
QueryResult read_from_database(Database& db, const std::string& sql) {
    QueryResult result;
    result.stored_at = unix_seconds_now();
    Query query = db.send_query(sql);
    result.column_names = detail::read_column_names(query);
    if (result.column_names.empty()) {
        throw Error(util::cat("Query returned no result set (", sql, ")"));
    }
    result.rows = detail::read_text_rows(query, static_cast<int>(result.column_names.size()));
    return result;
}

// A copy is fresh while its age is below `max_age`; a copy stored in the
// future (the clock went back) is not.
bool is_fresh(const QueryResult& cached, std::chrono::seconds max_age) {
    const std::int64_t age = unix_seconds_now() - cached.stored_at;
    return age >= 0 && age < max_age.count();
}

}  // namespace

QueryResult Database::read_with_cache(const std::string& sql, CachePolicy policy,
                                      std::chrono::seconds max_age) {
    if (policy == CachePolicy::cache_only) {
        return detail::CacheFiles::load(cache_, sql, data_source_);
    }
    std::optional<QueryResult> cached;
    std::optional<std::string> cache_error;
    const auto load_cached = [&] {
        try {
            cached = detail::CacheFiles::load(cache_, sql, data_source_);
        } catch (const Error& e) {
            cache_error = e.get_message();
        }
    };
    if (policy == CachePolicy::prefer_cache && max_age.count() > 0) {
        load_cached();
        if (cached && is_fresh(*cached, max_age)) {
            return std::move(*cached);
        }
    }

    QueryResult result;
    try {
        result = read_from_database(*this, sql);
    } catch (const Error& db_error) {
        if (!cached && !cache_error) {
            load_cached();
        }
        if (!cached) {
            detail::throw_joined_errors(db_error, Error(*cache_error));
        }
        cached->message = db_error.get_message();
        return std::move(*cached);
    }
    try {
        detail::CacheFiles::store(cache_, sql, data_source_, result);
    } catch (const Error& e) {
        result.message = e.get_message();
    }
    return result;
}

}  // namespace zel::sql
