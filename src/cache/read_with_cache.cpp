// Reading any query through the cache of its data source: every successful
// read is stored, and the last good copy answers when the database cannot.

#include "cache/read_with_cache.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "cache/cache_file.h"
#include "odbc/bounded_operation.h"
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

namespace detail {

QueryResult read_with_cache(Database& db, const std::string& sql, CachePolicy policy,
                            std::chrono::seconds max_age) {
    // Refused before anything is sent or stored: a driver would cut the text
    // at the NUL, and the copy would be filed under the whole text.
    util::check_no_nul(sql, "Invalid SQL text");
    const Cache& cache = db.get_cache();
    // Copies are filed under the primary's name, whichever source answered,
    // so that one stored from a standby serves when every source is down.
    const std::string& data_source = db.get_data_source();
    // Threads only where the caller allowed bounded waiting.
    const DigestThread digest_thread =
        db.get_wait_limit().count() > 0 ? DigestThread::own_for_large : DigestThread::caller;
    if (policy == CachePolicy::cache_only) {
        return CacheFiles::load(cache, sql, data_source, digest_thread);
    }
    std::optional<QueryResult> cached;
    std::optional<std::string> cache_error;
    const auto load_cached = [&] {
        try {
            cached = CacheFiles::load(cache, sql, data_source, digest_thread);
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
        // Under the wait limit the helper reads into a result of its own,
        // which is moved here when it ends.
        result = run_bounded<QueryResult>(
            db, [sql](Database& on) { return read_from_database(on, sql); });
        result.served_by = db.get_serving_source();
    } catch (const Error& db_error) {
        if (!cached && !cache_error) {
            load_cached();
        }
        if (!cached) {
            throw_joined_errors(db_error, Error(*cache_error));
        }
        cached->message = db_error.get_message();
        return std::move(*cached);
    }
    try {
        CacheFiles::store(cache, sql, data_source, result);
    } catch (const Error& e) {
        result.message = e.get_message();
    }
    return result;
}

}  // namespace detail
}  // namespace zel::sql
