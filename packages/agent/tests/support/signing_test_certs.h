// Keys and certificates made in the test process with OpenSSL, for the
// signing tests: RSA or EC keys, chosen serials (negative ones too), issuer
// Names with unusual string types, and hex helpers for byte comparisons.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "common/bytes.h"
#include "x509/certificate.h"

namespace quillon::testing {

std::shared_ptr<EVP_PKEY> makeRsaKey(int bits = 2048);
std::shared_ptr<EVP_PKEY> makeEcKey();

struct CertOptions {
    std::string commonName = "Signer Test:12345678900";
    Bytes serialMagnitude{0x01};  // big-endian
    bool serialNegative = false;
    // PrintableString C, BMPString O, T61String OU, IA5String CN, in the
    // unusual order CN-first; otherwise a plain UTF8String CN.
    bool unusualIssuer = false;
};

// A self-signed (issuer = subject) certificate over `key`.
Bytes makeCertificate(EVP_PKEY* key, const CertOptions& options = {});

// The certificate fields the CMS encoder needs, taken by the test itself
// (independent of the agent's parser): the DER, the issuer Name octets sliced
// from the TBSCertificate, and the serial.
ParsedCertificate handParsed(const Bytes& certDer, std::shared_ptr<EVP_PKEY> key, const CertOptions& options);

Bytes hexBytes(std::string_view hex);  // blanks ignored
std::string hexOf(ByteView bytes);     // upper case, no blanks

// RSASSA-PKCS1-v1_5 over a SHA-256 digest, made by OpenSSL itself.
Bytes opensslSignDigest(EVP_PKEY* key, ByteView digest);
// Verifies a detached CMS over `content`, trusting `certDer` as anchor.
bool opensslVerifyDetachedCms(ByteView cms, ByteView content, ByteView certDer, std::string* why = nullptr);
// Verifies a raw RSASSA-PKCS1-v1_5/SHA-256 signature of `content`.
bool opensslVerifyRaw(ByteView signature, ByteView content, ByteView certDer);

}  // namespace quillon::testing
