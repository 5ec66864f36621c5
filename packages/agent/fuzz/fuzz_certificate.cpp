// One value through both certificate readers: the listing's quick summary and
// the full parse signing uses. A certificate the listing shows must be one
// signing can take, and the reverse; when both take it they must show the
// same summary, and the issuer and serial that signing writes into a
// signature must be those OpenSSL reads from the certificate.
#include <openssl/bn.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <tuple>

#include "token/certificate_summary.h"
#include "x509/certificate.h"

namespace {

using namespace quillon;

void check(bool ok) {
    if (!ok) std::abort();
}

auto summaryFields(const AgentCertInfo& i) {
    return std::tie(i.Thumbprint, i.CommonName, i.TaxId, i.Issuer, i.NotBefore, i.NotAfter, i.CertDer);
}

void checkIssuerAndSerialAsOpenSslReadsThem(const ParsedCertificate& cert) {
    const unsigned char* p = cert.der.data();
    std::unique_ptr<X509, decltype(&X509_free)> x509(d2i_X509(nullptr, &p, static_cast<long>(cert.der.size())),
                                                     X509_free);
    check(x509 != nullptr);

    unsigned char* issuer = nullptr;
    const int issuerLength = i2d_X509_NAME(X509_get_issuer_name(x509.get()), &issuer);
    check(issuerLength > 0 && Bytes(issuer, issuer + issuerLength) == cert.issuerNameDer);
    OPENSSL_free(issuer);

    std::unique_ptr<BIGNUM, decltype(&BN_free)> serial(ASN1_INTEGER_to_BN(X509_get0_serialNumber(x509.get()), nullptr),
                                                       BN_free);
    check(serial != nullptr);
    Bytes magnitude(static_cast<std::size_t>(BN_num_bytes(serial.get())));
    BN_bn2bin(serial.get(), magnitude.data());
    check(magnitude == cert.serial.magnitude && (BN_is_negative(serial.get()) != 0) == cert.serial.negative);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView der(data, size);
    auto listed = summarizeCertificate(der);
    auto parsed = parseCertificate(der);
    check(listed.has_value() == parsed.has_value());
    if (!parsed) return 0;
    check(summaryFields(*listed) == summaryFields(certInfoOf(*parsed)));
    checkIssuerAndSerialAsOpenSslReadsThem(*parsed);
    return 0;
}
