#include "util/string.h"

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

}  // namespace zel::util
