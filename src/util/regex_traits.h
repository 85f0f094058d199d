#ifndef ZEL_SQL_UTIL_REGEX_TRAITS_H_
#define ZEL_SQL_UTIL_REGEX_TRAITS_H_

// Case-insensitive regular expressions without a locale lookup per
// character. Internal: not exported.

#include <array>
#include <locale>
#include <regex>

namespace zel::util {

/// std::regex_traits<char> with the lower-case mapping of its locale taken
/// once, when the locale is set, instead of looking up the locale's ctype
/// facet for every character that a case-insensitive pattern compares (as
/// libstdc++ does). Same locale, same mapping, same grammar and errors:
/// everything else is inherited.
class CaseFoldingRegexTraits : public std::regex_traits<char> {
public:
    CaseFoldingRegexTraits() { take_lower_case(); }

    locale_type imbue(locale_type locale) {
        locale_type previous = std::regex_traits<char>::imbue(locale);
        take_lower_case();
        return previous;
    }

    char_type translate_nocase(char_type c) const {
        return lower_case_[static_cast<unsigned char>(c)];
    }

private:
    void take_lower_case() {
        const auto& ctype = std::use_facet<std::ctype<char>>(getloc());
        for (std::size_t c = 0; c < lower_case_.size(); ++c) {
            lower_case_[c] = ctype.tolower(static_cast<char>(c));
        }
    }

    std::array<char, 256> lower_case_{};
};

/// A regular expression whose case-insensitive matching uses
/// CaseFoldingRegexTraits.
using CaseFoldingRegex = std::basic_regex<char, CaseFoldingRegexTraits>;

}  // namespace zel::util

#endif  // ZEL_SQL_UTIL_REGEX_TRAITS_H_
