#include "util/number.h"

#include <locale.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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

// GCC and clang both have it; __extension__ keeps -Wpedantic quiet.
__extension__ typedef unsigned __int128 uint128;

constexpr uint128 pow10(int exponent) {
    uint128 power = 1;
    for (int i = 0; i < exponent; ++i) {
        power *= 10;
    }
    return power;
}

constexpr std::uint64_t sixteen_digits_min = static_cast<std::uint64_t>(pow10(15));
constexpr std::uint64_t sixteen_digits_end = static_cast<std::uint64_t>(pow10(16));

// Positions of accelerator components lie in this range, where the exact
// binary value times a power of ten fits into 128 bits. Zero, very small and
// very large values, infinities and NaN take the general path.
constexpr double fast_min = 1e-6;
constexpr double fast_end = 1e15;
// The decimal exponents of the range, with room for a rounding that carries.
constexpr int fast_min_exponent = -7;
constexpr int fast_max_exponent = 15;

// The 16 significant digits of `magnitude` (within the fast range) rounded as
// printf rounds them, to nearest with ties to even, and the decimal exponent
// of the first: magnitude ~ digits * 10^(exponent - 15). False when the
// exponent leaves the range that 128 bits can handle.
bool sixteen_digits(double magnitude, std::uint64_t& digits, int& exponent) {
    static constexpr uint128 powers_of_ten[] = {
        pow10(0),  pow10(1),  pow10(2),  pow10(3),  pow10(4),  pow10(5),  pow10(6),  pow10(7),
        pow10(8),  pow10(9),  pow10(10), pow10(11), pow10(12), pow10(13), pow10(14), pow10(15),
        pow10(16), pow10(17), pow10(18), pow10(19), pow10(20), pow10(21), pow10(22)};
    std::uint64_t bits = 0;
    std::memcpy(&bits, &magnitude, sizeof bits);
    // magnitude = mantissa * 2^-shift exactly; in the fast range it is normal
    // and below 2^50, so the shift lies between 3 and 73.
    const std::uint64_t mantissa =
        (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
    const int shift = 1075 - static_cast<int>(bits >> 52);
    // floor(log10(2^(52 - shift))): the first guess, at most one too small.
    exponent = ((52 - shift) * 78913) >> 18;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (exponent < fast_min_exponent || exponent > fast_max_exponent) {
            return false;
        }
        const uint128 scaled = mantissa * powers_of_ten[15 - exponent];
        // Below 10^17 whatever the guess, so it fits.
        std::uint64_t quotient = static_cast<std::uint64_t>(scaled >> shift);
        const uint128 remainder = scaled - (static_cast<uint128>(quotient) << shift);
        const uint128 half = static_cast<uint128>(1) << (shift - 1);
        if (remainder > half || (remainder == half && (quotient & 1) != 0)) {
            ++quotient;
        }
        if (quotient >= sixteen_digits_end) {
            ++exponent;  // also when rounding carried to 10^16: it then gives 10^15
        } else if (quotient < sixteen_digits_min) {
            --exponent;
        } else {
            digits = quotient;
            return true;
        }
    }
    return false;
}

// The eight decimal digits of `value` (below 10^8), with leading zeros.
void write_eight_digits(char* out, std::uint32_t value) {
    static constexpr char pairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    for (int i = 6; i >= 0; i -= 2) {
        std::memcpy(out + i, pairs + 2 * (value % 100), 2);
        value /= 100;
    }
}

}  // namespace

char* format_scientific(char* out, double value) noexcept {
    const double magnitude = std::fabs(value);
    std::uint64_t digits = 0;
    int exponent = 0;
    if (magnitude >= fast_min && magnitude < fast_end &&
        sixteen_digits(magnitude, digits, exponent)) {
        if (std::signbit(value)) {
            *out++ = '-';
        }
        char text[16];
        write_eight_digits(text, static_cast<std::uint32_t>(digits / 100'000'000));
        write_eight_digits(text + 8, static_cast<std::uint32_t>(digits % 100'000'000));
        out[0] = text[0];
        out[1] = '.';
        std::memcpy(out + 2, text + 1, 15);
        out[17] = 'e';
        out[18] = exponent < 0 ? '-' : '+';
        const int exponent_digits = exponent < 0 ? -exponent : exponent;
        out[19] = static_cast<char>('0' + exponent_digits / 10);
        out[20] = static_cast<char>('0' + exponent_digits % 10);
        return out + 21;
    }
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
