#ifndef ZEL_SQL_UTIL_NUMBER_H_
#define ZEL_SQL_UTIL_NUMBER_H_

// Doubles in text: the scientific notation of the component list file and the
// strtod rules by which it is read. Internal: not exported.

#include <cstddef>
#include <optional>
#include <string_view>

namespace zel::util {

/// The most bytes that format_scientific writes: "-1.234567890123456e-308".
inline constexpr std::size_t scientific_max_length = 23;

/// Writes `value` at `out` exactly as printf's "%.15e" does in the "C"
/// locale: one digit, '.', 15 digits, 'e', the exponent's sign and at least
/// two digits; "inf", "nan", with a leading '-' when the sign bit is set.
/// Returns the end of what was written.
char* format_scientific(char* out, double value) noexcept;

/// A number read from the start of a text, and how many bytes it took,
/// leading white space included.
struct NumberPrefix {
    double value;
    std::size_t length;
};

/// The number at the start of `text` as strtod reads it in the "C" locale:
/// leading white space skipped, decimal or hexadecimal notation with an
/// optional sign, inf, infinity and nan in any letter case, the longest prefix
/// taken and the rest ignored. Nothing when no number begins there, or when
/// its value is beyond the largest double or so small that only a subnormal
/// could hold it. The byte at text[text.size()] must be a NUL; an earlier NUL
/// ends the text.
std::optional<NumberPrefix> read_number_as_strtod(std::string_view text);

/// The fast path of read_number: the value of `text` when, apart from white
/// space at either end, it is a plain decimal number (an optional '-', digits,
/// optionally '.' and digits, optionally 'e' or 'E', a sign and digits) whose
/// value is zero or a normal double. Nothing otherwise: the caller then asks
/// read_number_as_strtod, which may still accept the text. Where this gives a
/// result, read_number_as_strtod gives the same value and length.
std::optional<NumberPrefix> read_plain_decimal(std::string_view text) noexcept;

/// read_plain_decimal where it applies, read_number_as_strtod otherwise: the
/// result of read_number_as_strtod for every text, at a fraction of its cost
/// for the numbers that format_scientific writes. The byte at
/// text[text.size()] must be a NUL.
inline std::optional<NumberPrefix> read_number(std::string_view text) {
    if (const auto plain = read_plain_decimal(text)) {
        return plain;
    }
    return read_number_as_strtod(text);
}

}  // namespace zel::util

#endif  // ZEL_SQL_UTIL_NUMBER_H_
