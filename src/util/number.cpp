#include "util/number.h"

#include <locale.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <system_error>

namespace zel::util {
namespace {

// strtod's white space in the "C" locale.
constexpr bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// The file's decimal point is "." whatever locale the calling program chose.
locale_t c_numeric_locale() {
    static const locale_t locale = ::newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    return locale;
}

}  // namespace

char* format_scientific(char* out, double value) noexcept {
    // std::to_chars rounds exactly, as glibc's printf does (to nearest, ties
    // to even), and spells infinities and NaNs as printf does.
    return std::to_chars(out, out + scientific_max_length, value, std::chars_format::scientific, 15)
        .ptr;
}

std::optional<NumberPrefix> read_number_as_strtod(std::string_view text) {
    const char* const begin = text.data();
    char* end = nullptr;
    errno = 0;
    const double value = ::strtod_l(begin, &end, c_numeric_locale());
    if (end == begin || errno == ERANGE) {
        return std::nullopt;
    }
    return NumberPrefix{value, static_cast<std::size_t>(end - begin)};
}

std::optional<NumberPrefix> read_plain_decimal(std::string_view text) noexcept {
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    const char* p = begin;
    while (p != end && is_space(*p)) {
        ++p;
    }
    const char* const number = p;
    if (p != end && *p == '-') {
        ++p;
    }
    bool nonzero_digit = false;
    const auto skip_digits = [&p, end, &nonzero_digit](bool mantissa) {
        const char* const first = p;
        for (; p != end && is_digit(*p); ++p) {
            nonzero_digit = nonzero_digit || (mantissa && *p != '0');
        }
        return p != first;
    };
    if (!skip_digits(true)) {
        return std::nullopt;
    }
    if (p != end && *p == '.') {
        ++p;
        if (!skip_digits(true)) {
            return std::nullopt;
        }
    }
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p != end && (*p == '+' || *p == '-')) {
            ++p;
        }
        if (!skip_digits(false)) {
            return std::nullopt;
        }
    }
    const char* const number_end = p;
    while (p != end && is_space(*p)) {
        ++p;
    }
    if (p != end) {
        return std::nullopt;
    }

    double value = 0.0;
    const auto [stop, error] = std::from_chars(number, number_end, value);
    if (error != std::errc() || stop != number_end) {
        return std::nullopt;
    }
    // Near either end of the range, whether a value is out of range is
    // strtod's call: a zero must come from zero digits, anything else must be
    // a normal double clear of the largest one.
    const double magnitude = std::fabs(value);
    const bool clear_of_the_ends = value == 0.0
                                       ? !nonzero_digit
                                       : magnitude > std::numeric_limits<double>::min() &&
                                             magnitude < std::numeric_limits<double>::max();
    if (!clear_of_the_ends) {
        return std::nullopt;
    }
    return NumberPrefix{value, static_cast<std::size_t>(number_end - begin)};
}

}  // namespace zel::util
