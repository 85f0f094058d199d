// Doubles in the component list file: the in-place formatting must give the
// stream's "%.15e" bytes, and the fast reading path must give strtod's value
// and length wherever it answers at all.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <locale>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "util/number.h"

namespace zel::util {
namespace {

using limits = std::numeric_limits<double>;

// What an output stream in the classic locale writes with scientific
// notation and precision 15.
std::string stream_formatted(double value) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::scientific;
    out.precision(15);
    out << value;
    return std::move(out).str();
}

std::string formatted(double value) {
    char text[scientific_max_length];
    return std::string(text, format_scientific(text, value));
}

double from_bits(std::uint64_t bits) {
    double value = 0.0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

const double awkward_values[] = {
    0.0,
    -0.0,
    1.0,
    -1.0,
    12.5,
    0.1 + 0.2,
    1.0 / 3.0,
    9.999999999999999e22,
    9.9999999999999995e-5,
    5.9604644775390625e-08,  // 2^-24: a tie at 16 digits, rounds to even
    1234567890123456.5,      // a tie as well
    1234567890123457.5,
    123456789012345.25,  // ties below 1e15, one rounding down to even, one up
    123456789012345.75,
    999999999999999.9,  // rounds up into the next decade
    9.9999999999999995e-7,
    1e-6,
    -1e-6,
    9.999999999999999e-7,
    1e15,
    999999999999999.875,
    9007199254740993.0,
    limits::max(),
    -limits::max(),
    limits::min(),
    limits::min() * (1.0 + limits::epsilon()),
    limits::denorm_min(),
    -limits::denorm_min(),
    limits::min() / 3.0,
    from_bits(0x000fffffffffffffULL),  // largest subnormal
    limits::infinity(),
    -limits::infinity(),
    limits::quiet_NaN(),
    -limits::quiet_NaN(),
    limits::signaling_NaN(),
    from_bits(0xfff8000000000123ULL),  // NaN with sign bit and payload
};

TEST(FormatScientific, WritesTheStreamsBytes) {
    for (const double value : awkward_values) {
        EXPECT_EQ(formatted(value), stream_formatted(value)) << stream_formatted(value);
    }
    std::mt19937_64 random(20261210);
    for (int i = 0; i < 200000; ++i) {
        const double value = from_bits(random());
        ASSERT_EQ(formatted(value), stream_formatted(value)) << stream_formatted(value);
    }
    // Positions as they come from a database: decimals of a few places over
    // the lengths of accelerators, and every double of a range of magnitudes.
    std::uniform_int_distribution<std::int64_t> millimetres(-10'000'000'000, 10'000'000'000);
    std::uniform_real_distribution<double> anywhere(-20.0, 16.0);
    for (int i = 0; i < 200000; ++i) {
        const double decimal = static_cast<double>(millimetres(random)) / 1000.0;
        ASSERT_EQ(formatted(decimal), stream_formatted(decimal)) << stream_formatted(decimal);
        const double value = std::pow(10.0, anywhere(random));
        ASSERT_EQ(formatted(value), stream_formatted(value)) << stream_formatted(value);
        ASSERT_EQ(formatted(-value), stream_formatted(-value)) << stream_formatted(-value);
    }
}

// Both reading paths of `line` (which must be a string, for its final NUL).
void expect_as_strtod(const std::string& line) {
    const auto fast = read_number(line);
    const auto slow = read_number_as_strtod(line);
    ASSERT_EQ(fast.has_value(), slow.has_value()) << '"' << line << '"';
    if (fast) {
        EXPECT_TRUE(same_bits(fast->value, slow->value) ||
                    (std::isnan(fast->value) && std::isnan(slow->value)))
            << '"' << line << "\": " << fast->value << " against " << slow->value;
        EXPECT_EQ(fast->length, slow->length) << '"' << line << '"';
    }
}

TEST(ReadNumber, AgreesWithStrtodOnAwkwardLines) {
    const std::vector<std::string> lines = {
        "",
        " ",
        "0",
        "-0",
        "-0.000000000000000e+00",
        "1.250000000000000e+01",
        " \t1.5\r",
        "1.5 m",
        "1.5\v",
        "1.",
        ".5",
        "-.5",
        "+1",
        "--1",
        "1e",
        "1e+",
        "1E5",
        "1e-5",
        "0x1p3",
        "0x",
        "inf",
        "-Infinity",
        "nan",
        "nan(12)",
        "1e308",
        "1.8e308",
        "1.7976931348623157e308",
        "1.7976931348623158e308",
        "1.7976931348623159e308",
        "2.2250738585072014e-308",
        "2.2250738585072011e-308",
        "2.2250738585072012e-308",
        "2.225073858507201e-308",
        "4.9e-324",
        "1e-400",
        "0e-999",
        "0e99999999999999999999",
        "0.000000000000000000000000000000000000001e-300",
        "1e99999999999999999999",
        "1e-99999999999999999999",
        "9007199254740993",
        "9007199254740992.5000000000000000000000000000001",
        "123456789012345678901234567890e-10",
        std::string("1.5\0junk", 8),
        std::string(400, '1'),
        "0." + std::string(400, '0') + "1",
    };
    for (const std::string& line : lines) {
        expect_as_strtod(line);
    }
}

TEST(ReadNumber, TakesTheFastPathForWhatTheWriterWrites) {
    std::mt19937_64 random(1210);
    for (int i = 0; i < 100000; ++i) {
        const double value = from_bits(random());
        const std::string line = formatted(value);
        expect_as_strtod(line);
        if (std::isnormal(value) && std::fabs(value) < 1e308) {
            ASSERT_TRUE(read_plain_decimal(line).has_value()) << line;
        }
    }
}

}  // namespace
}  // namespace zel::util
