// The seam between code that needs a digest signed and the place where the
// key lives. The CMS encoder signs only through it; pkcs11Signer is the one
// implementation in the agent.
#pragma once

#include <memory>
#include <span>
#include <string_view>

#include "common/bytes.h"
#include "common/error.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace quillon {

enum class HashFunction { MD5, SHA1, SHA224, SHA256, SHA384, SHA512 };
// "MD5", "SHA-1", "SHA-224", "SHA-256", "SHA-384", "SHA-512".
std::string_view hashName(HashFunction hash);

struct SignerOpts {
    HashFunction hash = HashFunction::SHA256;  // the function that made the digest
};

class RandomSource {
public:
    virtual ~RandomSource() = default;
    virtual void fill(std::span<std::uint8_t> out) = 0;
};
// The cryptographically secure random source of the process.
RandomSource& systemRandom();

class Signer {
public:
    virtual ~Signer() = default;
    // The public key that belongs to the signing key.
    virtual std::shared_ptr<EVP_PKEY> Public() const = 0;
    // Signs `digest`, which `opts.hash` made; `rand` may be null.
    virtual Result<Bytes> Sign(RandomSource* rand, ByteView digest, const SignerOpts& opts) = 0;
};

}  // namespace quillon
