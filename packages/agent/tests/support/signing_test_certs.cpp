#include "signing_test_certs.h"

#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cctype>
#include <stdexcept>

namespace quillon::testing {
namespace {

std::shared_ptr<EVP_PKEY> own(EVP_PKEY* k) { return std::shared_ptr<EVP_PKEY>(k, EVP_PKEY_free); }

void addEntry(X509_NAME* name, const char* field, int type, std::string_view value) {
    X509_NAME_add_entry_by_txt(name, field, type, reinterpret_cast<const unsigned char*>(value.data()),
                               static_cast<int>(value.size()), -1, 0);
}

// Length of a DER element's header at p (tag + length octets).
std::size_t headerLength(const std::uint8_t* p, std::size_t* contentLength) {
    std::size_t n = p[1];
    if (n < 0x80) {
        *contentLength = n;
        return 2;
    }
    std::size_t octets = n & 0x7F, len = 0;
    for (std::size_t i = 0; i < octets; ++i) len = (len << 8) | p[2 + i];
    *contentLength = len;
    return 2 + octets;
}

}  // namespace

std::shared_ptr<EVP_PKEY> makeRsaKey(int bits) { return own(EVP_RSA_gen(static_cast<unsigned>(bits))); }
std::shared_ptr<EVP_PKEY> makeEcKey() { return own(EVP_EC_gen("P-256")); }

Bytes makeCertificate(EVP_PKEY* key, const CertOptions& options) {
    X509* x = X509_new();
    X509_set_version(x, 2);
    BIGNUM* bn = BN_bin2bn(options.serialMagnitude.data(), static_cast<int>(options.serialMagnitude.size()), nullptr);
    BN_set_negative(bn, options.serialNegative ? 1 : 0);
    ASN1_INTEGER* serial = BN_to_ASN1_INTEGER(bn, nullptr);
    X509_set_serialNumber(x, serial);
    ASN1_INTEGER_free(serial);
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24 * 365);
    X509_NAME* name = X509_NAME_new();
    if (options.unusualIssuer) {
        addEntry(name, "CN", V_ASN1_IA5STRING, options.commonName);
        addEntry(name, "C", V_ASN1_PRINTABLESTRING, "BR");
        addEntry(name, "O", V_ASN1_BMPSTRING, std::string_view("\0Q\0u\0i\0l", 8));
        addEntry(name, "OU", V_ASN1_T61STRING, "Teste");
    } else {
        addEntry(name, "CN", MBSTRING_UTF8, options.commonName);
    }
    X509_set_subject_name(x, name);
    X509_set_issuer_name(x, name);
    X509_NAME_free(name);
    X509_set_pubkey(x, key);
    X509_sign(x, key, EVP_sha256());
    unsigned char* out = nullptr;
    int len = i2d_X509(x, &out);
    Bytes der(out, out + len);
    OPENSSL_free(out);
    X509_free(x);
    return der;
}

ParsedCertificate handParsed(const Bytes& certDer, std::shared_ptr<EVP_PKEY> key, const CertOptions& options) {
    // Certificate ::= SEQUENCE { tbs SEQUENCE { [0] version, serial, sigAlg, issuer, ... } }
    const std::uint8_t* p = certDer.data();
    std::size_t len = 0;
    p += headerLength(p, &len);  // Certificate
    p += headerLength(p, &len);  // TBSCertificate
    for (int field = 0; field < 3; ++field) {  // version, serial, signature algorithm
        std::size_t h = headerLength(p, &len);
        p += h + len;
    }
    std::size_t h = headerLength(p, &len);
    ParsedCertificate cert;
    cert.der = certDer;
    cert.issuerNameDer.assign(p, p + h + len);
    cert.serial.negative = options.serialNegative;
    cert.serial.magnitude = options.serialMagnitude;
    cert.isRsa = EVP_PKEY_get_base_id(key.get()) == EVP_PKEY_RSA;
    cert.publicKey = std::move(key);
    return cert;
}

Bytes hexBytes(std::string_view hex) {
    Bytes out;
    int high = -1;
    for (char c : hex) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) continue;
        int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::toupper(c) - 'A' + 10);
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

std::string hexOf(ByteView bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (auto b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

Bytes opensslSignDigest(EVP_PKEY* key, ByteView digest) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_sign_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    std::size_t len = 0;
    EVP_PKEY_sign(ctx, nullptr, &len, digest.data(), digest.size());
    Bytes sig(len);
    EVP_PKEY_sign(ctx, sig.data(), &len, digest.data(), digest.size());
    sig.resize(len);
    EVP_PKEY_CTX_free(ctx);
    return sig;
}

bool opensslVerifyDetachedCms(ByteView cms, ByteView content, ByteView certDer, std::string* why) {
    const unsigned char* p = cms.data();
    CMS_ContentInfo* ci = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(cms.size()));
    const unsigned char* c = certDer.data();
    X509* anchor = d2i_X509(nullptr, &c, static_cast<long>(certDer.size()));
    X509_STORE* store = X509_STORE_new();
    X509_STORE_add_cert(store, anchor);
    BIO* data = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
    bool ok = ci && anchor && CMS_verify(ci, nullptr, store, data, nullptr, CMS_BINARY) == 1;
    if (!ok && why) {
        char buf[256];
        ERR_error_string_n(ERR_get_error(), buf, sizeof buf);
        *why = buf;
    }
    ERR_clear_error();
    BIO_free(data);
    X509_STORE_free(store);
    X509_free(anchor);
    CMS_ContentInfo_free(ci);
    return ok;
}

bool opensslVerifyRaw(ByteView signature, ByteView content, ByteView certDer) {
    const unsigned char* c = certDer.data();
    X509* cert = d2i_X509(nullptr, &c, static_cast<long>(certDer.size()));
    if (!cert) return false;
    EVP_PKEY* key = X509_get0_pubkey(cert);
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    bool ok = EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, key) == 1 &&
              EVP_DigestVerify(md, signature.data(), signature.size(), content.data(), content.size()) == 1;
    EVP_MD_CTX_free(md);
    X509_free(cert);
    ERR_clear_error();
    return ok;
}

}  // namespace quillon::testing
