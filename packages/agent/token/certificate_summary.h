// What the listing returns of a certificate: its thumbprint, names, tax id,
// validity and DER, read without decoding the public key.
#pragma once

#include <string>
#include <string_view>

#include "common/bytes.h"
#include "common/error.h"
#include "protocol/messages.h"
#include "x509/certificate.h"

namespace quillon {

// Everything after the last ':' of the common name, or "".
std::string extractTaxId(std::string_view commonName);

AgentCertInfo certInfoOf(const ParsedCertificate& cert);

// The listing's summary of one certificate, read from its DER by the field
// walk (see x509/certificate_fields.h). It accepts exactly what
// parseCertificate accepts, and gives certInfoOf(parseCertificate(der)).
Result<AgentCertInfo> summarizeCertificate(ByteView der);

}  // namespace quillon
