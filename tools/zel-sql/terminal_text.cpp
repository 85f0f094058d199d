#include "terminal_text.h"

#include <cstdio>

namespace zel_sql_tool {
namespace {

void append_escape(std::string& out, const char* format, unsigned value) {
    char text[8];
    std::snprintf(text, sizeof(text), format, value);
    out += text;
}

// The length of the valid UTF-8 sequence at `text[i]` (a lead byte of 0xC2
// or above), or 0 when it is not one: no overlong forms, no surrogates,
// nothing beyond U+10FFFF.
std::size_t utf8_length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + length > text.size() || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(k) < 0x80 || byte(k) > 0xBF) {
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            append_escape(out, "\\x%02X", c);
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (const std::size_t length = utf8_length(text, i); length == 0) {
            append_escape(out, "\\x%02X", c);
            ++i;
        } else if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080-U+009F: the C1 controls, CSI (U+009B) among them.
            append_escape(out, "\\u%04X", static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

}  // namespace zel_sql_tool
