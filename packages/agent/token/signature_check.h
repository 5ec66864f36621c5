// A token's signature leaves the agent only once it checks out against the
// certificate's public key: a module can answer CKR_OK with no bytes, with
// garbage, with megabytes, or with a key that is not the certificate's own.
#pragma once

#include "common/bytes.h"
#include "common/error.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace quillon {

// `signature` must be exactly as long as the RSA key's modulus and be the
// PKCS#1 v1.5 signature of `digestInfo` (the octets the token was given).
// Errors name lengths only, never signed content.
Status checkRsaSignature(EVP_PKEY* publicKey, ByteView digestInfo, ByteView signature);

}  // namespace quillon
