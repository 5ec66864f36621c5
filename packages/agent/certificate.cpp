#include "certificate.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cstdio>
#include <ctime>

#include "base64.h"

namespace quillon {

namespace {

// A minimal DER reader, enough to slice the issuer Name and the serial
// number out of a certificate exactly as they were encoded: OpenSSL keeps
// a parsed form of both, and we must never hand out a re-encoding.
struct DerElement {
    std::uint8_t tag = 0;
    ByteView content;  // the value octets
    ByteView whole;    // tag, length and value
};

std::optional<DerElement> readElement(ByteView& in) {
    if (in.size() < 2) return std::nullopt;
    std::size_t pos = 0;
    std::uint8_t tag = in[pos++];
    if ((tag & 0x1F) == 0x1F) return std::nullopt;  // high tag numbers never occur here
    std::size_t len = in[pos++];
    if (len & 0x80) {
        std::size_t octets = len & 0x7F;
        if (octets == 0 || octets > sizeof(std::size_t) || in.size() - pos < octets) return std::nullopt;
        len = 0;
        for (std::size_t i = 0; i < octets; ++i) len = (len << 8) | in[pos++];
    }
    if (in.size() - pos < len) return std::nullopt;
    DerElement e{tag, in.subspan(pos, len), in.subspan(0, pos + len)};
    in = in.subspan(pos + len);
    return e;
}

struct TbsSlices {
    ByteView serial;  // INTEGER content octets
    ByteView issuer;  // the whole issuer Name
};

std::optional<TbsSlices> sliceTbs(ByteView der) {
    auto cert = readElement(der);
    if (!cert || cert->tag != 0x30) return std::nullopt;
    ByteView body = cert->content;
    auto tbs = readElement(body);
    if (!tbs || tbs->tag != 0x30) return std::nullopt;
    ByteView fields = tbs->content;
    auto field = readElement(fields);
    if (field && field->tag == 0xA0) field = readElement(fields);  // explicit version
    if (!field || field->tag != 0x02) return std::nullopt;
    TbsSlices slices{field->content, {}};
    auto signature = readElement(fields);
    if (!signature || signature->tag != 0x30) return std::nullopt;
    auto issuer = readElement(fields);
    if (!issuer || issuer->tag != 0x30) return std::nullopt;
    slices.issuer = issuer->whole;
    return slices;
}

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

// The last common name in encoding order; OpenSSL keeps the entries of a
// name, multi-valued RDNs included, in the order they were decoded.
std::string lastCommonName(const X509_NAME* name) {
    if (!name) return {};
    int last = -1;
    for (int i = X509_NAME_get_index_by_NID(name, NID_commonName, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(name, NID_commonName, i))
        last = i;
    if (last < 0) return {};
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, last));
    unsigned char* utf8 = nullptr;
    int len = ASN1_STRING_to_UTF8(&utf8, value);
    if (len < 0) return {};
    std::string text(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(len));
    OPENSSL_free(utf8);
    return text;
}

std::optional<std::string> timeTextOf(const ASN1_TIME* t) {
    std::tm tm{};
    if (!t || ASN1_TIME_to_tm(t, &tm) != 1) return std::nullopt;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return std::string(buf);
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
    ERR_clear_error();
    const unsigned char* p = der.data();
    X509* raw = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (!raw) return fail(openSslReason("x509: malformed certificate"));
    std::unique_ptr<X509, decltype(&X509_free)> x509(raw, X509_free);
    if (p != der.data() + der.size()) return fail("x509: trailing data");

    auto slices = sliceTbs(der);
    if (!slices) return fail("x509: malformed certificate");
    auto notBefore = timeTextOf(X509_get0_notBefore(raw));
    auto notAfter = timeTextOf(X509_get0_notAfter(raw));
    if (!notBefore || !notAfter) return fail("x509: malformed validity");

    ParsedCertificate cert;
    cert.der.assign(der.begin(), der.end());
    cert.issuerNameDer.assign(slices->issuer.begin(), slices->issuer.end());
    cert.serial = bigIntegerOf(slices->serial);
    cert.subjectCommonName = lastCommonName(X509_get_subject_name(raw));
    cert.issuerCommonName = lastCommonName(X509_get_issuer_name(raw));
    cert.notBefore = std::move(*notBefore);
    cert.notAfter = std::move(*notAfter);
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

std::string timeText(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    auto secs = floor<seconds>(t);
    auto days = floor<std::chrono::days>(secs);
    year_month_day ymd{days};
    hh_mm_ss hms{secs - days};
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                  static_cast<int>(hms.seconds().count()));
    return buf;
}

std::string extractTaxId(std::string_view commonName) {
    auto colon = commonName.rfind(':');
    if (colon == std::string_view::npos) return {};
    return std::string(commonName.substr(colon + 1));
}

AgentCertInfo certInfoOf(const ParsedCertificate& cert) {
    AgentCertInfo info;
    info.Thumbprint = thumbprintOf(cert.der);
    info.CommonName = cert.subjectCommonName;
    info.TaxId = extractTaxId(cert.subjectCommonName);
    info.Issuer = cert.issuerCommonName;
    info.NotBefore = cert.notBefore;
    info.NotAfter = cert.notAfter;
    info.CertDer = base64Encode(cert.der);
    return info;
}

}  // namespace quillon

namespace quillon {

Result<AgentCertInfo> parseCertObject(const ModuleContext& ctx, CK_SESSION_HANDLE session,
                                      CK_OBJECT_HANDLE object) {
    static constexpr CK_ATTRIBUTE_TYPE kValue[] = {CKA_VALUE};
    auto values = getAttributeValues(ctx, session, object, kValue);
    if (!values || values->empty() || values->front().empty()) return fail("CKA_VALUE vazio");
    auto cert = parseCertificate(values->front());
    if (!cert) return failWrapped("ParseCertificate: ", std::move(cert.error()));
    return certInfoOf(*cert);
}

}  // namespace quillon
