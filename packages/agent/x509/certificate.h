// X.509 certificates as signing and the CMS encoder need them: parsed by
// OpenSSL after the field walk, with the issuer and serial as they stand.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "common/bytes.h"
#include "common/error.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace quillon {

// A signed arbitrary-precision integer as sign and big-endian magnitude
// (no leading zero octets; zero is an empty magnitude).
struct BigInteger {
    bool negative = false;
    Bytes magnitude;
};

struct ParsedCertificate {
    Bytes der;            // the complete DER, exactly as given
    Bytes issuerNameDer;  // the issuer Name's octets as they stand in the certificate
    BigInteger serial;
    bool isRsa = false;   // subject public key algorithm is rsaEncryption
    std::shared_ptr<EVP_PKEY> publicKey;
    std::string subjectCommonName;  // last CN in encoding order, empty if none
    std::string issuerCommonName;
    std::string notBefore;  // time text
    std::string notAfter;
};

// Exactly one DER certificate, nothing after it. The error's text is the
// parser's own (callers add "ParseCertificate: ").
Result<ParsedCertificate> parseCertificate(ByteView der);

// SHA-1 of the bytes as 40 lower-case hexadecimal digits.
std::string thumbprintOf(ByteView der);

}  // namespace quillon
