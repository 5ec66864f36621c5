#include "common/sha256.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

namespace quillon {

Sha256Digest sha256Of(ByteView data) {
    Sha256Digest digest{};
    SHA256(data.data(), data.size(), digest.data());
    return digest;
}

Sha256Stream::Sha256Stream() : ctx_(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
    EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr);
}

void Sha256Stream::update(ByteView data) { EVP_DigestUpdate(ctx_.get(), data.data(), data.size()); }

Sha256Digest Sha256Stream::finish() {
    Sha256Digest digest{};
    EVP_DigestFinal_ex(ctx_.get(), digest.data(), nullptr);
    return digest;
}

}  // namespace quillon
