// Reads arbitrary bytes as a number line of the component list file, once
// through the fast path for plain decimals and once through strtod alone. The
// two must agree on success, on the value to the bit and on the number of
// bytes taken: the fast path may decline a line, but never read it otherwise.
// The first eight bytes, taken as a double, must also be written as printf's
// "%.15e" writes it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "util/number.h"

namespace {

using zel::sql::test::fuzz::check;

std::string describe(const std::string& line) {
    std::string text = "\"";
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f) {
            text += c;
        } else {
            static const char hex[] = "0123456789abcdef";
            text += "\\x";
            text += hex[byte >> 4];
            text += hex[byte & 0xf];
        }
    }
    return text + "\"";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size >= sizeof(double)) {
        double value = 0.0;
        std::memcpy(&value, data, sizeof value);
        char expected[64];
        std::snprintf(expected, sizeof expected, "%.15e", value);
        char written[zel::util::scientific_max_length];
        const std::string text(written, zel::util::format_scientific(written, value));
        check(text == expected, "format_scientific wrote " + text + " for " + expected);
    }

    // A line as the file reader hands it over: no line feed, a NUL behind it.
    std::string line(reinterpret_cast<const char*>(data), size);
    line.erase(std::min(line.find('\n'), line.size()));

    const auto slow = zel::util::read_number_as_strtod(line);
    const auto fast = zel::util::read_plain_decimal(line);
    if (fast) {
        check(slow.has_value(), "the fast path read " + describe(line) + ", strtod refused it");
        check(std::memcmp(&fast->value, &slow->value, sizeof(double)) == 0,
              "the fast path read another value from " + describe(line));
        check(fast->length == slow->length,
              "the fast path took another length of " + describe(line));
    }
    const auto combined = zel::util::read_number(line);
    check(combined.has_value() == slow.has_value(),
          "read_number and strtod disagree on " + describe(line));
    if (combined) {
        check(std::memcmp(&combined->value, &slow->value, sizeof(double)) == 0 &&
                  combined->length == slow->length,
              "read_number and strtod read " + describe(line) + " differently");
    }
    return 0;
}
