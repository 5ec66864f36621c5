#include "sha256.h"

#include <openssl/sha.h>

namespace quillon {

Sha256Digest sha256Of(ByteView data) {
    Sha256Digest digest{};
    SHA256(data.data(), data.size(), digest.data());
    return digest;
}

}  // namespace quillon
