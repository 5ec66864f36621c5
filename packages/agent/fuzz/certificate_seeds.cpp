// Writes the certificate fuzzer's seeds into the folder given: certificates
// like the ones the tests put on tokens, odd ones included (EC key, no common
// name, two, a multi-valued name, old string types, negative and long
// serials, expired, CA, the edges of both time types). Made fresh each run so
// they follow the test builders.
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "support/signing_test_certs.h"
#include "support/test_certificates.h"

namespace {

using namespace quillon;
using namespace quillon::testing;

TestCertRecipe recipe(std::vector<NameEntry> subject, std::vector<NameEntry> issuer = {}) {
    TestCertRecipe r;
    r.subject = std::move(subject);
    r.issuer = std::move(issuer);
    return r;
}

TestCertRecipe timed(std::string notBefore, std::string notAfter) {
    TestCertRecipe r;
    r.notBefore = std::move(notBefore);
    r.notAfter = std::move(notAfter);
    return r;
}

std::vector<std::pair<std::string, Bytes>> seeds() {
    std::vector<std::pair<std::string, Bytes>> out;
    auto add = [&](std::string name, const TestCertRecipe& r) { out.emplace_back(std::move(name), buildCertificate(r)); };
    add("plain", TestCertRecipe{});
    TestCertRecipe ec;
    ec.ecKey = true;
    add("ec-key", ec);
    TestCertRecipe ca = recipe({{"C", "BR"}, {"O", "ICP-Brasil"}, {"CN", "AC Raiz Teste"}});
    ca.ca = true;
    add("ca", ca);
    add("no-common-name", recipe({{"C", "BR"}, {"O", "Sem Nome:999"}}, {{"C", "BR"}, {"O", "Org Only"}}));
    add("two-common-names", recipe({{"CN", "PRIMEIRO:111"}, {"O", "X"}, {"CN", "SEGUNDO:222"}}));
    add("multi-valued", recipe({{"O", "X"}, {"CN", "Zeta:1"}, {"CN", "Alpha:22", 0x0C, true}}));
    add("old-string-types", recipe({{"CN", std::string("\0J\0o\0\xE3\0o\0:\0" "7", 12), 0x1E}},
                                   {{"CN", "ISSUER CA", 0x13}, {"O", "Org", 0x16}, {"OU", "T61", 0x14}}));
    add("utc-pivot", timed("500101000000Z", "491231235959Z"));
    add("expired", timed("20000101000000Z", "20010101000000Z"));
    add("year-0000-to-9999", timed("00000101000000Z", "99991231235959Z"));
    TestCertRecipe serial = recipe({{"CN", "Serial"}});
    serial.serial = 0x7FFFFFFF;
    add("long-serial", serial);

    auto key = makeRsaKey();
    CertOptions negative;
    negative.serialMagnitude = {0x01, 0x00};
    negative.serialNegative = true;
    out.emplace_back("negative-serial", makeCertificate(key.get(), negative));
    CertOptions unusual;
    unusual.unusualIssuer = true;
    unusual.serialMagnitude = {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
    out.emplace_back("unusual-issuer", makeCertificate(key.get(), unusual));
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    for (const auto& [name, der] : seeds()) {
        std::ofstream file(std::string(argv[1]) + "/" + name + ".der", std::ios::binary);
        file.write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
        if (!file) {
            std::fprintf(stderr, "cannot write %s/%s.der\n", argv[1], name.c_str());
            return 1;
        }
    }
    return 0;
}
