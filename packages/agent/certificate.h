// X.509 certificates as the system needs them: the summary the listing
// returns, and what signing needs of a parsed certificate.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "bytes.h"
#include "error.h"
#include "messages.h"
#include "pkcs11_module.h"

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
// UTC, "YYYY-MM-DDThh:mm:ssZ", fraction dropped.
std::string timeText(std::chrono::system_clock::time_point t);
// The same for whole seconds, over the full range of years 0000 to 9999
// (certificates use 9999-12-31 for "no expiry").
std::string timeText(std::chrono::sys_seconds t);
// Everything after the last ':' of the common name, or "".
std::string extractTaxId(std::string_view commonName);

AgentCertInfo certInfoOf(const ParsedCertificate& cert);

// The listing's summary of one certificate, read from its DER without
// decoding the public key (see x509_fields.h). It accepts exactly what
// parseCertificate accepts, and gives certInfoOf(parseCertificate(der)).
Result<AgentCertInfo> summarizeCertificate(ByteView der);

// Reads a certificate object's CKA_VALUE and summarises it: "CKA_VALUE vazio"
// when the value cannot be read or is empty, "ParseCertificate: %w" when it
// is not exactly one certificate.
Result<AgentCertInfo> parseCertObject(const ModuleContext& ctx, CK_SESSION_HANDLE session,
                                      CK_OBJECT_HANDLE object);

}  // namespace quillon
