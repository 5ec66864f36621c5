// Detached CMS SignedData (RFC 5652): one SignerInfo identified by issuer and
// serial number, the signed attributes contentType, signingTime and
// messageDigest, the signer's certificate, and no copy of the data.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>

#include "cms/signer.h"
#include "common/bytes.h"
#include "common/error.h"
#include "common/sha256.h"
#include "x509/certificate.h"

namespace quillon {

using Oid = std::span<const std::uint32_t>;

inline constexpr std::array<std::uint32_t, 7> kOidSignedDataArcs{1, 2, 840, 113549, 1, 7, 2};
inline constexpr std::array<std::uint32_t, 7> kOidDataArcs{1, 2, 840, 113549, 1, 7, 1};
inline constexpr std::array<std::uint32_t, 9> kOidSHA256Arcs{2, 16, 840, 1, 101, 3, 4, 2, 1};
inline constexpr std::array<std::uint32_t, 7> kOidRSAEncryptionArcs{1, 2, 840, 113549, 1, 1, 1};
inline constexpr std::array<std::uint32_t, 7> kOidContentTypeArcs{1, 2, 840, 113549, 1, 9, 3};
inline constexpr std::array<std::uint32_t, 7> kOidMessageDigestArcs{1, 2, 840, 113549, 1, 9, 4};
inline constexpr std::array<std::uint32_t, 7> kOidSigningTimeArcs{1, 2, 840, 113549, 1, 9, 5};

inline constexpr Oid oidSignedData{kOidSignedDataArcs};
inline constexpr Oid oidData{kOidDataArcs};
inline constexpr Oid oidSHA256{kOidSHA256Arcs};
inline constexpr Oid oidRSAEncryption{kOidRSAEncryptionArcs};
inline constexpr Oid oidContentType{kOidContentTypeArcs};
inline constexpr Oid oidMessageDigest{kOidMessageDigestArcs};
inline constexpr Oid oidSigningTime{kOidSigningTimeArcs};

// Where the signing time comes from; tests fix it.
using Clock = std::function<std::chrono::system_clock::time_point()>;
std::chrono::system_clock::time_point systemNow();

// The DER ContentInfo of a detached SignedData over the data whose SHA-256
// is `dataDigest`: the content itself is never needed beyond its digest. The
// signer is called exactly once, with the SHA-256 of the signed-attribute SET.
Result<Bytes> buildPkcs7DetachedForDigest(const ParsedCertificate& cert, Signer& signer, const Sha256Digest& dataDigest,
                                          const Clock& clock = systemNow);

// The signed-attribute SET (first octet 0x31) for the data's SHA-256 digest;
// reads the clock once.
Result<Bytes> marshalSignedAttributes(ByteView digest, const Clock& clock = systemNow);

// SEQUENCE { type, SET { value } }; `value` is one complete DER element.
Result<Bytes> marshalOneAttr(Oid type, ByteView value);

// The ContentInfo around the certificate, the signed-attribute SET (stored
// with its first octet changed to 0xA0) and the signature octets.
Result<Bytes> marshalCMSContentInfo(const ParsedCertificate& cert, ByteView signedAttrs, ByteView signature);

}  // namespace quillon
