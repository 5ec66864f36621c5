// Listing real SoftHSM2 tokens: what pkcs11-tool sees without a login is what
// the agent lists, once per certificate, whatever the key type, validity or
// name shape.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>

#include "base64.h"
#include "certificate.h"
#include "handlers.h"
#include "listing.h"
#include "log.h"
#include "pkcs11_module.h"
#include "softhsm_tokens.h"
#include "support/memory_streams.h"
#include "support/temp_folder.h"
#include "support/test_certificates.h"

namespace quillon {
namespace {

using testing::runShell;
using testing::SoftHsmLab;

constexpr const char* kModule = "/usr/lib/softhsm/libsofthsm2.so";
constexpr const char* kPin = "1234";

std::string commandOutput(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[4096];
        for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        pclose(p);
    }
    return out;
}

// Writes a DER certificate to a file and stores it on the token with pkcs11-tool.
void importCertificate(const SoftHsmLab& lab, const Bytes& der, const std::string& label) {
    const std::string file = lab.dir() + "/" + label + ".der";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(der.data()),
                                                static_cast<std::streamsize>(der.size()));
    ASSERT_EQ(runShell(std::string("pkcs11-tool --module ") + kModule + " --token-label alpha --login --pin " + kPin +
                       " --write-object " + file + " --type cert --label " + label),
              0);
}

// pkcs11-tool cannot store a private certificate object; this creates one
// through SoftHSM's own C_CreateObject, logged in on the first token.
void importPrivateCertificate(const Bytes& der) {
    auto ctx = loadModule(kModule);
    ASSERT_TRUE(ctx);
    ASSERT_TRUE(initializeModule(*ctx));
    auto slots = getSlotList(*ctx);
    ASSERT_TRUE(slots && !slots->empty());
    auto session = openSession(*ctx, slots->front(), CKF_SERIAL_SESSION | CKF_RW_SESSION);
    ASSERT_TRUE(session);
    ASSERT_TRUE(login(*ctx, *session, kPin));
    auto cert = parseCertificate(der);
    ASSERT_TRUE(cert);
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_BBOOL yes = CK_TRUE;
    Bytes subject = cert->issuerNameDer;  // self-issued: subject and issuer are one name
    CK_ATTRIBUTE templ[] = {
        {CKA_CLASS, &cls, sizeof cls},
        {CKA_CERTIFICATE_TYPE, &type, sizeof type},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_PRIVATE, &yes, sizeof yes},
        {CKA_SUBJECT, subject.data(), static_cast<CK_ULONG>(subject.size())},
        {CKA_VALUE, const_cast<std::uint8_t*>(der.data()), static_cast<CK_ULONG>(der.size())},
    };
    CK_OBJECT_HANDLE object = 0;
    EXPECT_EQ(ctx->functions->C_CreateObject(*session, templ, std::size(templ), &object), CKR_OK);
    logout(*ctx, *session);
    closeSession(*ctx, *session);
    finalizeModule(*ctx);
}

// A certificate made by the openssl command line alone, without a key on the token.
Bytes opensslCertificate(const SoftHsmLab& lab, const std::string& label, const std::string& subject) {
    const std::string base = lab.dir() + "/" + label;
    EXPECT_EQ(runShell("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + base + ".key -out " + base +
                       ".pem -days 10 -subj '" + subject + "' -outform DER"),
              0);
    std::ifstream in(base + ".pem", std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class SoftHsmListing : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testing::softHsmAvailable()) GTEST_SKIP() << "SoftHSM2, pkcs11-tool or openssl missing";
    }
};

TEST_F(SoftHsmListing, ListsEveryPublicCertificateOnceAsPkcs11ToolSeesIt) {
    SoftHsmLab lab;
    lab.initToken("alpha", kPin);
    std::map<std::string, std::string> expectedNames;  // thumbprint -> common name
    auto rsa = lab.importPair("alpha", kPin, "rsa-holder", "rsa:2048", "01");
    auto ec = lab.importPair("alpha", kPin, "ec-holder", "ec", "02");
    expectedNames[rsa.thumbprint] = "rsa-holder:12345678900";
    expectedNames[ec.thumbprint] = "ec-holder:12345678900";

    Bytes noColon = opensslCertificate(lab, "nocolon", "/CN=SEM CPF/O=Teste");
    Bytes noCn = opensslCertificate(lab, "nocn", "/C=BR/O=Sem Nome");
    Bytes twoCns = opensslCertificate(lab, "twocn", "/CN=PRIMEIRO:111/O=X/CN=SEGUNDO:222");
    testing::TestCertRecipe old;
    old.subject = {{"CN", "Old Root CA"}};
    old.notBefore = "100101000000Z";
    old.notAfter = "150101000000Z";
    old.ca = true;
    Bytes expiredCa = testing::buildCertificate(old);
    importCertificate(lab, noColon, "nocolon");
    importCertificate(lab, noCn, "nocn");
    importCertificate(lab, twoCns, "twocn");
    importCertificate(lab, expiredCa, "oldca");
    Bytes hidden = testing::buildCertificate(testing::TestCertRecipe{});
    importPrivateCertificate(hidden);
    expectedNames[thumbprintOf(noColon)] = "SEM CPF";
    expectedNames[thumbprintOf(noCn)] = "";
    expectedNames[thumbprintOf(twoCns)] = "SEGUNDO:222";
    expectedNames[thumbprintOf(expiredCa)] = "Old Root CA";

    // The same token through two candidate modules.
    const std::string first = lab.placeModule("System32/eToken.dll");
    const std::string second = lab.placeModule("System32/cryptoki.dll");

    auto listed = listCertificates();
    ASSERT_TRUE(listed) << listed.error().text;
    std::map<std::string, std::string> names;
    for (const auto& info : *listed) {
        EXPECT_TRUE(names.emplace(info.Thumbprint, info.CommonName).second) << "listed twice: " << info.CommonName;
        auto der = base64Decode(info.CertDer);
        ASSERT_TRUE(der);
        EXPECT_EQ(thumbprintOf(*der), info.Thumbprint);
        EXPECT_EQ(info.TaxId, extractTaxId(info.CommonName));
    }
    EXPECT_EQ(names, expectedNames);

    // pkcs11-tool, without a login, sees the same public certificates.
    std::string tool = commandOutput(std::string("pkcs11-tool --module ") + kModule +
                                     " --token-label alpha --list-objects --type cert 2>/dev/null");
    std::size_t seen = 0;
    for (std::size_t p = 0; (p = tool.find("Certificate Object", p)) != std::string::npos; ++p) ++seen;
    EXPECT_EQ(seen, listed->size());
    // ...and, logged in, one more: the private certificate.
    std::string loggedIn = commandOutput(std::string("pkcs11-tool --module ") + kModule +
                                         " --token-label alpha --login --pin " + kPin +
                                         " --list-objects --type cert 2>/dev/null");
    std::size_t all = 0;
    for (std::size_t p = 0; (p = loggedIn.find("Certificate Object", p)) != std::string::npos; ++p) ++all;
    EXPECT_EQ(all, listed->size() + 1);

    // openssl agrees on the thumbprint.
    std::string fingerprint = commandOutput("openssl x509 -in " + lab.dir() + "/rsa-holder.pem -noout -fingerprint -sha1");
    std::string hex;
    for (char c : fingerprint.substr(fingerprint.find('=') + 1))
        if (std::isxdigit(static_cast<unsigned char>(c))) hex += static_cast<char>(std::tolower(c));
    EXPECT_EQ(hex, rsa.thumbprint);

    (void)first;
    (void)second;
}

TEST_F(SoftHsmListing, AnUninitialisedSlotIsLoggedAndTheOthersStillListed) {
    SoftHsmLab lab;
    lab.initToken("alpha", kPin);
    auto rsa = lab.importPair("alpha", kPin, "only", "rsa:2048", "01");
    const std::string module = lab.placeModule("System32/eToken.dll");
    testing::ScratchFolder logDir("softhsm-log");
    closeLog();
    initLogAt(logDir.file("quillon-agent.log"));
    testing::MemoryOutput out;
    handleListCerts(out);
    closeLog();
    auto frames = testing::splitFrames(out.bytes);
    ASSERT_TRUE(frames && frames->size() == 1);
    EXPECT_NE((*frames)[0].find(rsa.thumbprint), std::string::npos);
    std::string text = testing::fileText(logDir.file("quillon-agent.log"));
    // SoftHSM always offers one more, empty token, which cannot open a session.
    EXPECT_NE(text.find("lib " + module + ": 2 slots com token"), std::string::npos);
    EXPECT_NE(text.find("erro: OpenSession slot "), std::string::npos);
    EXPECT_NE(text.find("CKR_TOKEN_NOT_RECOGNIZED"), std::string::npos);
    EXPECT_NE(text.find("total certificados retornados: 1"), std::string::npos);
}

}  // namespace
}  // namespace quillon
