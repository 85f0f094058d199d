#ifndef ZEL_SQL_UTIL_DIGEST_H_
#define ZEL_SQL_UTIL_DIGEST_H_

// Message digests, computed by OpenSSL's libcrypto. Internal: not exported.

#include <array>
#include <cstddef>
#include <string_view>

namespace zel::util {

/// A non-owning view of bytes.
struct ByteSpan {
    const unsigned char* data = nullptr;
    std::size_t size = 0;

    ByteSpan() = default;
    ByteSpan(const unsigned char* bytes, std::size_t length) : data(bytes), size(length) {}
    explicit ByteSpan(std::string_view text)
        : data(reinterpret_cast<const unsigned char*>(text.data())), size(text.size()) {}
};

using Sha3_224Digest = std::array<unsigned char, 28>;

/// The SHA3-224 digest (FIPS 202) of the given bytes.
Sha3_224Digest sha3_224(ByteSpan bytes);

}  // namespace zel::util

#endif  // ZEL_SQL_UTIL_DIGEST_H_
