#ifndef ZEL_SQL_UTIL_DIGEST_H_
#define ZEL_SQL_UTIL_DIGEST_H_

// Message digests, computed by OpenSSL's libcrypto. Internal: not exported.

#include <array>
#include <cstddef>
#include <string_view>

struct evp_md_ctx_st;  // OpenSSL's EVP_MD_CTX

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

/// A SHA3-224 digest computed over bytes that arrive in pieces: the digest of
/// all pieces given to update(), in order, is what finish() returns.
class Sha3_224 {
public:
    /// @throws zel::Error when the digest cannot be set up.
    Sha3_224();
    Sha3_224(const Sha3_224&) = delete;
    Sha3_224& operator=(const Sha3_224&) = delete;
    ~Sha3_224();

    void update(ByteSpan bytes);
    /// The digest of everything given so far; call it once.
    Sha3_224Digest finish();

private:
    ::evp_md_ctx_st* context_;
};

}  // namespace zel::util

#endif  // ZEL_SQL_UTIL_DIGEST_H_
