// Certificates built in the test process with OpenSSL, with full control of
// the subject and issuer names, their string types and the validity times.
#pragma once

#include <string>
#include <vector>

#include "common/bytes.h"

namespace quillon::testing {

struct NameEntry {
    std::string field;           // "CN", "O", "C", ...
    std::string value;           // UTF-8
    int type = 0x0C;             // ASN.1 string tag (V_ASN1_UTF8STRING by default)
    bool joinPrevious = false;   // same RDN as the entry before (multi-valued)
};

struct TestCertRecipe {
    std::vector<NameEntry> subject{{"CN", "Test Holder:12345678900"}};
    std::vector<NameEntry> issuer;  // empty: same as subject
    std::string notBefore = "20260101000000Z";  // 13 characters: UTCTime, 15: GeneralizedTime
    std::string notAfter = "20300101000000Z";
    long serial = 1;
    bool ecKey = false;
    bool ca = false;
};

Bytes buildCertificate(const TestCertRecipe& recipe);
// A certificate with the given subject common name and defaults otherwise.
Bytes certificateNamed(const std::string& commonName, long serial = 1);
std::string hexText(ByteView bytes);  // lower case

}  // namespace quillon::testing
