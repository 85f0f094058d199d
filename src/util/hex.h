#ifndef ZEL_SQL_UTIL_HEX_H_
#define ZEL_SQL_UTIL_HEX_H_

// Hexadecimal encoding of byte ranges. Internal: not exported.

#include <string>

namespace zel::util {

/// Two lower-case hexadecimal digits per byte, high nibble first.
template <typename ByteIterator>
std::string to_hex(ByteIterator begin, ByteIterator end) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (auto it = begin; it != end; ++it) {
        const auto byte = static_cast<unsigned char>(*it);
        out.push_back(digits[byte / 16]);
        out.push_back(digits[byte % 16]);
    }
    return out;
}

}  // namespace zel::util

#endif  // ZEL_SQL_UTIL_HEX_H_
