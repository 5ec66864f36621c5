// Listing real SoftHSM2 tokens: what pkcs11-tool sees without a login is what
// the agent lists, once per certificate, whatever the key type, validity or
// name shape, and the uninitialised slot SoftHSM always adds is skipped.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>

#include "log/log.h"
#include "softhsm_tokens.h"
#include "support/base64_decode.h"
#include "support/temp_folder.h"
#include "support/test_certificates.h"
#include "token/certificate_summary.h"
#include "token/listing.h"
#include "token/pkcs11_module.h"
#include "x509/certificate.h"

namespace quillon {
namespace {

using testing::base64Decode;
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

std::size_t countOf(const std::string& text, std::string_view word) {
    std::size_t n = 0;
    for (std::size_t p = 0; (p = text.find(word, p)) != std::string::npos; ++p) ++n;
    return n;
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
    auto rsa = lab.importPair("alpha", kPin, "rsa-holder", "rsa:2048", "01");
    auto ec = lab.importPair("alpha", kPin, "ec-holder", "ec", "02");
    std::map<std::string, std::string> expectedNames = {{rsa.thumbprint, "rsa-holder:12345678900"},
                                                        {ec.thumbprint, "ec-holder:12345678900"}};
    testing::TestCertRecipe old;
    old.subject = {{"CN", "Old Root CA"}};
    old.notBefore = "100101000000Z";
    old.notAfter = "150101000000Z";
    old.ca = true;
    const std::pair<Bytes, std::string> others[] = {
        {opensslCertificate(lab, "nocolon", "/CN=SEM CPF/O=Teste"), "SEM CPF"},
        {opensslCertificate(lab, "nocn", "/C=BR/O=Sem Nome"), ""},
        {opensslCertificate(lab, "twocn", "/CN=PRIMEIRO:111/O=X/CN=SEGUNDO:222"), "SEGUNDO:222"},
        {testing::buildCertificate(old), "Old Root CA"}};
    for (std::size_t i = 0; i < std::size(others); ++i) {
        importCertificate(lab, others[i].first, "other" + std::to_string(i));
        expectedNames[thumbprintOf(others[i].first)] = others[i].second;
    }
    importPrivateCertificate(testing::buildCertificate(testing::TestCertRecipe{}));
    // The same token through two candidate modules.
    const std::string module = lab.placeModule("System32/eToken.dll");
    lab.placeModule("System32/cryptoki.dll");

    testing::ScratchFolder logDir("softhsm-log");
    closeLog();
    initLogAt(logDir.file("quillon-agent.log"));
    auto listed = listCertificates();
    closeLog();
    ASSERT_TRUE(listed) << listed.error().text;
    // SoftHSM always offers one more, uninitialised token, which cannot open a session.
    std::string log = testing::fileText(logDir.file("quillon-agent.log"));
    EXPECT_NE(log.find("lib " + module + ": 2 slots com token"), std::string::npos);
    EXPECT_EQ(countOf(log, "CKR_TOKEN_NOT_RECOGNIZED"), 2u);
    EXPECT_NE(log.find("total certificados retornados: " + std::to_string(expectedNames.size())), std::string::npos);
    std::map<std::string, std::string> names;
    for (const auto& info : *listed) {
        EXPECT_TRUE(names.emplace(info.Thumbprint, info.CommonName).second) << "listed twice: " << info.CommonName;
        auto der = base64Decode(info.CertDer);
        ASSERT_TRUE(der);
        EXPECT_EQ(thumbprintOf(*der), info.Thumbprint);
        EXPECT_EQ(info.TaxId, extractTaxId(info.CommonName));
    }
    EXPECT_EQ(names, expectedNames);

    // pkcs11-tool sees the same public certificates, and logged in one more: the private one.
    const std::string tool = std::string("pkcs11-tool --module ") + kModule + " --token-label alpha ";
    EXPECT_EQ(countOf(commandOutput(tool + "--list-objects --type cert 2>/dev/null"), "Certificate Object"),
              listed->size());
    EXPECT_EQ(countOf(commandOutput(tool + "--login --pin " + kPin + " --list-objects --type cert 2>/dev/null"),
                      "Certificate Object"),
              listed->size() + 1);

    // openssl agrees on the thumbprint.
    std::string fingerprint = commandOutput("openssl x509 -in " + lab.dir() + "/rsa-holder.pem -noout -fingerprint -sha1");
    std::string hex;
    for (char c : fingerprint.substr(fingerprint.find('=') + 1))
        if (std::isxdigit(static_cast<unsigned char>(c))) hex += static_cast<char>(std::tolower(c));
    EXPECT_EQ(hex, rsa.thumbprint);
}

}  // namespace
}  // namespace quillon
