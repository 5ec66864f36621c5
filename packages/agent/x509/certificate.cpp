#include "x509/certificate.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include "x509/certificate_fields.h"

namespace quillon {

namespace {

// Two's-complement content octets to sign and minimal magnitude.
BigInteger bigIntegerOf(ByteView content) {
    BigInteger value;
    Bytes mag(content.begin(), content.end());
    if (!mag.empty() && (mag[0] & 0x80)) {
        value.negative = true;
        // magnitude = ~x + 1
        for (auto& b : mag) b = static_cast<std::uint8_t>(~b);
        for (std::size_t i = mag.size(); i-- > 0;)
            if (++mag[i] != 0) break;
    }
    std::size_t lead = 0;
    while (lead < mag.size() && mag[lead] == 0) ++lead;
    value.magnitude.assign(mag.begin() + static_cast<std::ptrdiff_t>(lead), mag.end());
    if (value.magnitude.empty()) value.negative = false;
    return value;
}

std::string openSslReason(std::string_view fallback) {
    unsigned long code = ERR_peek_last_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    std::string text = reason ? std::string("x509: ") + reason : std::string(fallback);
    ERR_clear_error();
    return text;
}

}  // namespace

Result<ParsedCertificate> parseCertificate(ByteView der) {
    if (der.empty()) return fail("x509: empty certificate");
    auto fields = readCertificateFields(der);
    if (!fields) return std::unexpected(std::move(fields.error()));
    // OpenSSL judges the rest (algorithms, key, extensions) and decodes the key.
    ERR_clear_error();
    const unsigned char* p = der.data();
    X509* raw = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (!raw) return fail(openSslReason("x509: malformed certificate"));
    std::unique_ptr<X509, decltype(&X509_free)> x509(raw, X509_free);
    if (p != der.data() + der.size()) return fail("x509: trailing data");

    ParsedCertificate cert;
    cert.der.assign(der.begin(), der.end());
    cert.issuerNameDer.assign(fields->issuer.begin(), fields->issuer.end());
    cert.serial = bigIntegerOf(fields->serial);
    cert.subjectCommonName = lastCommonName(fields->subject);
    cert.issuerCommonName = lastCommonName(fields->issuer);
    cert.notBefore = std::move(fields->notBefore);
    cert.notAfter = std::move(fields->notAfter);
    if (const X509_PUBKEY* pub = X509_get_X509_PUBKEY(raw)) {
        ASN1_OBJECT* algorithm = nullptr;
        if (X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, nullptr, pub) == 1)
            cert.isRsa = OBJ_obj2nid(algorithm) == NID_rsaEncryption;
    }
    if (EVP_PKEY* key = X509_get_pubkey(raw)) cert.publicKey.reset(key, EVP_PKEY_free);
    ERR_clear_error();  // an undecodable key is not a parse failure
    return cert;
}

std::string thumbprintOf(ByteView der) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(der.data(), der.size(), digest);
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * SHA_DIGEST_LENGTH);
    for (unsigned char b : digest) {
        hex.push_back(kDigits[b >> 4]);
        hex.push_back(kDigits[b & 0x0F]);
    }
    return hex;
}

}  // namespace quillon
