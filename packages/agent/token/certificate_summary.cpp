#include "token/certificate_summary.h"

#include "common/base64.h"
#include "x509/certificate_fields.h"

namespace quillon {

namespace {

AgentCertInfo infoOf(ByteView der, std::string commonName, std::string issuer, std::string notBefore,
                     std::string notAfter) {
    AgentCertInfo info;
    info.Thumbprint = thumbprintOf(der);
    info.TaxId = extractTaxId(commonName);
    info.CommonName = std::move(commonName);
    info.Issuer = std::move(issuer);
    info.NotBefore = std::move(notBefore);
    info.NotAfter = std::move(notAfter);
    info.CertDer = base64Encode(der);
    return info;
}

}  // namespace

std::string extractTaxId(std::string_view commonName) {
    auto colon = commonName.rfind(':');
    if (colon == std::string_view::npos) return {};
    return std::string(commonName.substr(colon + 1));
}

AgentCertInfo certInfoOf(const ParsedCertificate& cert) {
    return infoOf(cert.der, cert.subjectCommonName, cert.issuerCommonName, cert.notBefore, cert.notAfter);
}

Result<AgentCertInfo> summarizeCertificate(ByteView der) {
    if (der.empty()) return fail("x509: empty certificate");
    auto fields = readCertificateFields(der);
    if (!fields) return std::unexpected(std::move(fields.error()));
    return infoOf(der, lastCommonName(fields->subject), lastCommonName(fields->issuer), std::move(fields->notBefore),
                  std::move(fields->notAfter));
}

}  // namespace quillon
