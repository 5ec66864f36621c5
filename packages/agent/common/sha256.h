#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "common/bytes.h"

typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace quillon {

using Sha256Digest = std::array<std::uint8_t, 32>;

Sha256Digest sha256Of(ByteView data);

// SHA-256 over bytes that arrive in pieces.
class Sha256Stream {
public:
    Sha256Stream();
    void update(ByteView data);
    Sha256Digest finish();

private:
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx_;
};

}  // namespace quillon
