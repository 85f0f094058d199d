#include "time_text.h"

#include <cstdio>
#include <ctime>
#include <limits>

#include "exit_status.h"

namespace zel_sql_tool {

std::chrono::seconds parse_age(const std::string& text) {
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        ++digits;
    }
    const std::string unit = text.substr(digits);
    long long factor = 0;
    if (unit == "s") {
        factor = 1;
    } else if (unit == "m") {
        factor = 60;
    } else if (unit == "h") {
        factor = 3600;
    } else if (unit == "d") {
        factor = 86400;
    } else if (unit == "w") {
        factor = 7 * 86400;
    }
    if (digits == 0 || digits > 9 || factor == 0) {
        throw UsageError("invalid age \"" + text +
                         "\": give a number and a unit s, m, h, d or w, "
                         "such as 30d or 12h");
    }
    return std::chrono::seconds(std::stoll(text.substr(0, digits)) * factor);
}

std::string utc_time(std::int64_t unix_seconds) {
    const auto time = static_cast<std::time_t>(unix_seconds);
    std::tm parts{};
    if (gmtime_r(&time, &parts) == nullptr) {
        return "(out of range)";
    }
    char text[40];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

std::string age_text(std::int64_t seconds) {
    if (seconds < 0) {
        return "in the future";
    }
    char text[40];
    const auto value = static_cast<double>(seconds);
    if (seconds < 120) {
        std::snprintf(text, sizeof(text), "%lld s", static_cast<long long>(seconds));
    } else if (seconds < 2 * 3600) {
        std::snprintf(text, sizeof(text), "%.0f min", value / 60);
    } else if (seconds < 2 * 86400) {
        std::snprintf(text, sizeof(text), "%.1f h", value / 3600);
    } else {
        std::snprintf(text, sizeof(text), "%.1f d", value / 86400);
    }
    return text;
}

std::int64_t seconds_between(std::int64_t then, std::int64_t now) {
    std::int64_t difference = 0;
    if (__builtin_sub_overflow(now, then, &difference)) {
        return then < 0 ? std::numeric_limits<std::int64_t>::max()
                        : std::numeric_limits<std::int64_t>::min();
    }
    return difference;
}

std::int64_t unix_now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

}  // namespace zel_sql_tool
