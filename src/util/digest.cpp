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

}  // namespace zel::util
