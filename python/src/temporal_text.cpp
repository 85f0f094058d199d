#include "temporal_text.h"

#include <cstddef>

namespace zel::python {
namespace {

// Reads exactly `digits` decimal digits at `at`, advancing it.
bool read_digits(std::string_view text, std::size_t& at, std::size_t digits, int& value) {
    if (text.size() - at < digits) {
        return false;
    }
    value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const char c = text[at + i];
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    at += digits;
    return true;
}

bool read_char(std::string_view text, std::size_t& at, char expected) {
    if (at < text.size() && text[at] == expected) {
        ++at;
        return true;
    }
    return false;
}

bool is_leap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in(int month, int year) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : days[month - 1];
}

bool read_date(std::string_view text, std::size_t& at, SQL_TIMESTAMP_STRUCT& out) {
    int year = 0;
    int month = 0;
    int day = 0;
    if (!read_digits(text, at, 4, year) || !read_char(text, at, '-') ||
        !read_digits(text, at, 2, month) || !read_char(text, at, '-') ||
        !read_digits(text, at, 2, day)) {
        return false;
    }
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > days_in(month, year)) {
        return false;
    }
    out.year = static_cast<SQLSMALLINT>(year);
    out.month = static_cast<SQLUSMALLINT>(month);
    out.day = static_cast<SQLUSMALLINT>(day);
    return true;
}

bool read_time(std::string_view text, std::size_t& at, SQL_TIMESTAMP_STRUCT& out) {
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (!read_digits(text, at, 2, hour) || !read_char(text, at, ':') ||
        !read_digits(text, at, 2, minute)) {
        return false;
    }
    // SQLite's own date functions also write times without seconds.
    const bool has_seconds = read_char(text, at, ':');
    if (has_seconds && !read_digits(text, at, 2, second)) {
        return false;
    }
    if (hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    SQLUINTEGER nanoseconds = 0;
    if (has_seconds && read_char(text, at, '.')) {
        std::size_t digits = 0;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
            if (digits < 9) {
                nanoseconds = nanoseconds * 10 + static_cast<SQLUINTEGER>(text[at] - '0');
            }
        }
        if (digits == 0) {
            return false;
        }
        for (; digits < 9; ++digits) {
            nanoseconds *= 10;
        }
    }
    out.hour = static_cast<SQLUSMALLINT>(hour);
    out.minute = static_cast<SQLUSMALLINT>(minute);
    out.second = static_cast<SQLUSMALLINT>(second);
    out.fraction = nanoseconds;
    return true;
}

const char* kind_text(TemporalKind kind) {
    switch (kind) {
        case TemporalKind::date:
            return "a date";
        case TemporalKind::time:
            return "a time";
        case TemporalKind::timestamp:
            break;
    }
    return "a timestamp";
}

}  // namespace

bool parse_temporal(std::string_view text, TemporalKind kind, SQL_TIMESTAMP_STRUCT& out) noexcept {
    out = SQL_TIMESTAMP_STRUCT{};
    std::size_t at = 0;
    bool ok = false;
    switch (kind) {
        case TemporalKind::date:
            ok = read_date(text, at, out);
            break;
        case TemporalKind::time:
            ok = read_time(text, at, out);
            break;
        case TemporalKind::timestamp:
            ok = read_date(text, at, out) &&
                 (read_char(text, at, ' ') || read_char(text, at, 'T')) && read_time(text, at, out);
            break;
    }
    return ok && at == text.size();
}

UnrepresentableValue unrepresentable(int number, const std::string& name, TemporalKind kind,
                                     std::string_view text) {
    // The driver's text in full up to a sane length: it is what the caller
    // needs to find the row.
    constexpr std::size_t most = 64;
    const std::string shown = std::string(text.substr(0, most)) + (text.size() > most ? "..." : "");
    return UnrepresentableValue("Column " + std::to_string(number) + " (\"" + name +
                                "\") holds \"" + shown + "\", which is not " + kind_text(kind) +
                                " that Python can hold (years 1 to 9999, times below 24:00:00); "
                                "select it as text to read it");
}

}  // namespace zel::python
