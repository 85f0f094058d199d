#include "util/string.h"

#include "zel/Error.h"

namespace zel::util {

std::string_view trim_sv(std::string_view text, std::string_view whitespace) {
    const auto first = text.find_first_not_of(whitespace);
    if (first == std::string_view::npos) {
        return text.substr(0, 0);
    }
    const auto last = text.find_last_not_of(whitespace);
    return text.substr(first, last - first + 1);
}

std::string uppercase_ascii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = uppercase_ascii(c);
    }
    return out;
}

bool equals_nocase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowercase_ascii(a[i]) != lowercase_ascii(b[i])) {
            return false;
        }
    }
    return true;
}

std::string excerpt_for_message(std::string_view text) {
    constexpr std::size_t longest = 200;
    const bool cut = text.size() > longest;
    text = text.substr(0, longest);
    std::string out;
    out.reserve(text.size() + 3);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            out.push_back(c);
            continue;
        }
        switch (c) {
            case '\n':
                out.append("\\n");
                break;
            case '\r':
                out.append("\\r");
                break;
            case '\t':
                out.append("\\t");
                break;
            default: {
                constexpr char digits[] = "0123456789abcdef";
                out.append("\\x");
                out.push_back(digits[byte >> 4]);
                out.push_back(digits[byte & 0xf]);
            }
        }
    }
    if (cut) {
        out.append("...");
    }
    return out;
}

void check_no_nul(std::string_view name, std::string_view what) {
    if (name.find('\0') != std::string_view::npos) {
        throw Error(cat(what, ": \"", excerpt_for_message(name), "\""));
    }
}

}  // namespace zel::util
