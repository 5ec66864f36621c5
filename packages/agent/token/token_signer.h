// The token-backed signer: the private key never leaves the token. Sign
// wraps a SHA-256 digest in its PKCS#1 DigestInfo, has the token apply
// CKM_RSA_PKCS to it, and returns the signature only once it verifies with
// the certificate's public key (a failed check is logged, and reads "Sign: ").
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include <pkcs11.h>

#include "cms/signer.h"
#include "token/pkcs11_module.h"

namespace quillon {

// DER head of a SHA-256 DigestInfo (RFC 8017 9.2): SEQUENCE, AlgorithmIdentifier
// id-sha256 with NULL parameters, OCTET STRING of 32 bytes.
inline constexpr std::array<std::uint8_t, 19> sha256DigestInfoPrefix{
    0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
    0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};

// The prefix followed by the digest, unchanged.
Bytes sha256DigestInfo(ByteView digest);

// Borrows the context and the session of the signing call that made it; one
// signer per signature, never used after that call has closed the session.
class pkcs11Signer final : public Signer {
public:
    pkcs11Signer(const ModuleContext& ctx, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE keyHandle,
                 std::shared_ptr<EVP_PKEY> pubKey)
        : ctx_(ctx), session_(session), keyHandle_(keyHandle), pubKey_(std::move(pubKey)) {}

    std::shared_ptr<EVP_PKEY> Public() const override { return pubKey_; }
    // `rand` is not used: the token does the signing.
    Result<Bytes> Sign(RandomSource* rand, ByteView digest, const SignerOpts& opts) override;

private:
    const ModuleContext& ctx_;
    CK_SESSION_HANDLE session_;
    CK_OBJECT_HANDLE keyHandle_;
    std::shared_ptr<EVP_PKEY> pubKey_;
};

}  // namespace quillon
