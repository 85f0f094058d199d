#ifndef ZEL_SQL_UTIL_STRING_H_
#define ZEL_SQL_UTIL_STRING_H_

// String helpers used throughout the library. Internal: not exported.

#include <string>
#include <string_view>
#include <type_traits>

namespace zel::util {

/// Blank, tab, line feed, carriage return, vertical tab and form feed.
inline constexpr std::string_view default_whitespace = " \t\n\r\v\f";

namespace detail {

inline void append_piece(std::string& out, std::string_view piece) {
    out.append(piece);
}

inline void append_piece(std::string& out, char c) {
    out.push_back(c);
}

template <typename Integer, typename = std::enable_if_t<std::is_integral_v<Integer> &&
                                                        !std::is_same_v<Integer, bool> &&
                                                        !std::is_same_v<Integer, char>>>
void append_piece(std::string& out, Integer value) {
    out.append(std::to_string(value));
}

}  // namespace detail

/// Concatenates strings, string views, character literals and integers (in
/// decimal, negative ones with a leading minus sign).
template <typename... Pieces>
std::string cat(const Pieces&... pieces) {
    std::string out;
    (detail::append_piece(out, pieces), ...);
    return out;
}

/// The text without leading and trailing characters of `whitespace`, as a view
/// into the same characters.
std::string_view trim_sv(std::string_view text, std::string_view whitespace = default_whitespace);

/// The text without leading and trailing characters of `whitespace`.
inline std::string trim(std::string_view text, std::string_view whitespace = default_whitespace) {
    return std::string(trim_sv(text, whitespace));
}

/// 'A' to 'Z' become 'a' to 'z'; every other byte is returned unchanged.
constexpr char lowercase_ascii(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

/// 'a' to 'z' become 'A' to 'Z'; every other byte is returned unchanged.
constexpr char uppercase_ascii(char c) noexcept {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

/// A copy of `text` with ASCII letters in upper case; other bytes unchanged.
std::string uppercase_ascii(std::string_view text);

/// Equality with ASCII letter case ignored; no other byte is folded.
bool equals_nocase(std::string_view a, std::string_view b) noexcept;

/// True when `text` begins with exactly the characters of `prefix`.
constexpr bool starts_with(std::string_view text, std::string_view prefix) noexcept {
    return text.substr(0, prefix.size()) == prefix;
}

/// `text` made fit for a message, when it comes from a file or another
/// process: cut after 200 bytes (marked by "..."), and every control
/// character written as an escape ("\\n", "\\x1b"), so that nothing it
/// holds can flood or rewrite a terminal or a log.
std::string excerpt_for_message(std::string_view text);

/// Refuses a name that holds a NUL: the system would see only the part before
/// it. Throws zel::Error "<what>: \"<name up to the NUL>\\0...\"".
void check_no_nul(std::string_view name, std::string_view what);

}  // namespace zel::util

#endif  // ZEL_SQL_UTIL_STRING_H_
