#include "util/digest.h"

#include <openssl/evp.h>

#include "zel/Error.h"

namespace zel::util {

Sha3_224Digest sha3_224(ByteSpan bytes) {
    Sha3_224Digest digest{};
    unsigned int digest_len = 0;
    // EVP_Digest accepts a null pointer only together with a zero length, which
    // is exactly what an empty span holds.
    if (EVP_Digest(bytes.data, bytes.size, digest.data(), &digest_len, EVP_sha3_224(), nullptr) !=
            1 ||
        digest_len != digest.size()) {
        throw Error("Unable to compute the SHA3-224 digest");
    }
    return digest;
}

Sha3_224::Sha3_224() : context_(EVP_MD_CTX_new()) {
    if (context_ == nullptr || EVP_DigestInit_ex(context_, EVP_sha3_224(), nullptr) != 1) {
        EVP_MD_CTX_free(context_);
        throw Error("Unable to compute the SHA3-224 digest");
    }
}

Sha3_224::~Sha3_224() {
    EVP_MD_CTX_free(context_);
}

void Sha3_224::update(ByteSpan bytes) {
    if (bytes.size > 0 && EVP_DigestUpdate(context_, bytes.data, bytes.size) != 1) {
        throw Error("Unable to compute the SHA3-224 digest");
    }
}

Sha3_224Digest Sha3_224::finish() {
    Sha3_224Digest digest{};
    unsigned int digest_len = 0;
    if (EVP_DigestFinal_ex(context_, digest.data(), &digest_len) != 1 ||
        digest_len != digest.size()) {
        throw Error("Unable to compute the SHA3-224 digest");
    }
    return digest;
}

}  // namespace zel::util
