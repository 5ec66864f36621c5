// A lexical walk over a DER certificate that finds the fields the agent
// shows and signs with, without decoding the public key: OpenSSL 3 decodes
// the key of every certificate it parses, which costs far more than
// everything else a listing does per certificate.
#pragma once

#include <optional>
#include <string>

#include "common/bytes.h"
#include "common/error.h"

namespace quillon {

struct CertificateFields {
    ByteView serial;     // INTEGER content octets
    ByteView issuer;     // the whole issuer Name, tag and length included
    ByteView subject;    // the whole subject Name
    std::string notBefore;  // time text
    std::string notAfter;
};

// Certificate ::= SEQUENCE { tbsCertificate, signatureAlgorithm, signature },
// exactly, with nothing after it; the TBSCertificate fields in their order.
// Every element is held to the rules OpenSSL's certificate decoder applies,
// so nothing passes here that it refuses.
Result<CertificateFields> readCertificateFields(ByteView der);

// The last id-at-commonName value of a Name in encoding order, as UTF-8;
// empty when the name holds none or its value cannot be read as text.
std::string lastCommonName(ByteView name);

// A UTCTime (tag 0x17) or GeneralizedTime (tag 0x18) as time text, in UTC.
std::optional<std::string> derTimeText(std::uint8_t tag, ByteView content);

}  // namespace quillon
