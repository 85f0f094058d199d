// Times and ages as zel-sql reads and prints them.

#ifndef ZEL_SQL_TOOL_TIME_TEXT_H_
#define ZEL_SQL_TOOL_TIME_TEXT_H_

#include <chrono>
#include <cstdint>
#include <string>

namespace zel_sql_tool {

// "30d", "12h", "90m", "45s", "2w": a positive whole number and one unit.
// @throws UsageError for anything else.
std::chrono::seconds parse_age(const std::string& text);

// Unix seconds as "2026-12-10 17:12:32 UTC"; "(out of range)" for a time
// that the calendar of gmtime cannot show.
std::string utc_time(std::int64_t unix_seconds);

// An age in seconds in the largest fitting unit: "45 s", "12 min", "3.5 h",
// "12 d"; "in the future" for a negative age.
std::string age_text(std::int64_t seconds);

std::int64_t unix_now();

// `now - then` in seconds, saturated at the limits of std::int64_t: a copy's
// stored_at is whatever its file says, INT64_MIN included.
std::int64_t seconds_between(std::int64_t then, std::int64_t now);

}  // namespace zel_sql_tool

#endif  // ZEL_SQL_TOOL_TIME_TEXT_H_
