// One cache file of a query-cache folder, decoded by zel-sql for the
// operator. The library reads its cache files only for the query it is asked
// (Database::read_with_cache) and has no public reader of a file's contents;
// this reader follows the documented layout (docs/cache_file_format.md) and
// checks what the library checks, in the same order, so that a copy this
// reader calls good is one that the library would use.

#ifndef ZEL_SQL_TOOL_CACHE_COPY_H_
#define ZEL_SQL_TOOL_CACHE_COPY_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zel_sql_tool {

enum class CopyState {
    good,       // the library would use it
    damaged,    // it would refuse it: unreadable, wrong header or version, size, check sum, fields
    foreign,    // stored through another data source than the one asked about
    misplaced,  // its name is not that of its SQL text: the library never finds it
    not_trusted,  // it fails the trust rule (zel::sql::why_untrusted): the library refuses it
};

const char* state_name(CopyState state);

struct CacheCopy {
    std::string file;
    std::uint64_t size = 0;
    CopyState state = CopyState::damaged;
    std::string reason;  // why it is not good
    // What the bytes hold, when they could be decoded.
    bool decoded = false;
    std::string sql;
    std::string data_source;
    std::int64_t stored_at = 0;
    std::vector<std::string> column_names;
    std::uint64_t row_count = 0;
    std::vector<std::vector<std::optional<std::string>>> rows;  // only when asked for
};

// Reads and checks `file`: the bytes as the library checks them, then its
// name against Cache::get_full_file_name of its SQL text, then its data
// source against `expected_data_source` (empty: any data source). The rows
// are kept only when `with_rows`. Never throws for a bad file: `state` and
// `reason` say what is wrong.
CacheCopy read_cache_copy(const std::string& file, const std::string& expected_data_source,
                          bool with_rows);

}  // namespace zel_sql_tool

#endif  // ZEL_SQL_TOOL_CACHE_COPY_H_
