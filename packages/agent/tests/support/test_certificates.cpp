#include "support/test_certificates.h"

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace quillon::testing {

namespace {

// Key generation is slow; every certificate of a kind shares one key.
EVP_PKEY* sharedKey(bool ec) {
    static EVP_PKEY* rsa = EVP_RSA_gen(2048);
    static EVP_PKEY* p256 = EVP_EC_gen("P-256");
    return ec ? p256 : rsa;
}

X509_NAME* nameOf(const std::vector<NameEntry>& entries) {
    X509_NAME* name = X509_NAME_new();
    for (const auto& e : entries)
        X509_NAME_add_entry_by_txt(name, e.field.c_str(), e.type,
                                   reinterpret_cast<const unsigned char*>(e.value.data()),
                                   static_cast<int>(e.value.size()), -1, e.joinPrevious ? -1 : 0);
    return name;
}

ASN1_TIME* timeOf(const std::string& text) {
    ASN1_TIME* t = ASN1_TIME_new();
    if (text.size() == 13)
        ASN1_UTCTIME_set_string(t, text.c_str());
    else
        ASN1_GENERALIZEDTIME_set_string(t, text.c_str());
    return t;
}

}  // namespace

Bytes buildCertificate(const TestCertRecipe& recipe) {
    std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), X509_free);
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), recipe.serial);
    X509_NAME* subject = nameOf(recipe.subject);
    X509_NAME* issuer = nameOf(recipe.issuer.empty() ? recipe.subject : recipe.issuer);
    X509_set_subject_name(x.get(), subject);
    X509_set_issuer_name(x.get(), issuer);
    X509_NAME_free(subject);
    X509_NAME_free(issuer);
    ASN1_TIME* nb = timeOf(recipe.notBefore);
    ASN1_TIME* na = timeOf(recipe.notAfter);
    X509_set1_notBefore(x.get(), nb);
    X509_set1_notAfter(x.get(), na);
    ASN1_TIME_free(nb);
    ASN1_TIME_free(na);
    EVP_PKEY* key = sharedKey(recipe.ecKey);
    X509_set_pubkey(x.get(), key);
    if (recipe.ca) {
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, x.get(), x.get(), nullptr, nullptr, 0);
        if (X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_basic_constraints, "critical,CA:TRUE")) {
            X509_add_ext(x.get(), ext, -1);
            X509_EXTENSION_free(ext);
        }
    }
    X509_sign(x.get(), key, EVP_sha256());
    unsigned char* der = nullptr;
    int len = i2d_X509(x.get(), &der);
    Bytes out(der, der + (len > 0 ? len : 0));
    OPENSSL_free(der);
    return out;
}

Bytes certificateNamed(const std::string& commonName, long serial) {
    TestCertRecipe recipe;
    recipe.subject = {{"CN", commonName}};
    recipe.issuer = {{"CN", "Test CA"}};
    recipe.serial = serial;
    return buildCertificate(recipe);
}

std::string hexText(ByteView bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string s;
    for (auto b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

}  // namespace quillon::testing
