// Signing requests end to end against a SoftHSM2 token, the signatures checked
// by the openssl command line.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "host/handlers.h"
#include "log/log.h"
#include "softhsm_tokens.h"
#include "support/base64_decode.h"
#include "support/memory_streams.h"
#include "support/temp_folder.h"
#include "token/signing.h"

namespace quillon {
namespace {

using nlohmann::json;
using testing::base64Decode;
using testing::fileText;
using testing::LabCertificate;
using testing::runShell;
using testing::SoftHsmLab;

constexpr std::string_view kPin = "123456";

void writeFile(const std::string& path, ByteView bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<std::streamsize>(bytes.size()));
}

std::size_t countOf(const std::string& text, const std::string& word) {
    std::size_t n = 0;
    for (auto p = text.find(word); p != std::string::npos; p = text.find(word, p + 1)) ++n;
    return n;
}

// The one reply of a signing request of `type` made of `fields`.
json reply(std::string_view type, json fields) {
    fields["type"] = type;
    testing::MemoryOutput out;
    if (type == kTypeAgentSign)
        handleAgentSign(fields.dump(), out);
    else
        handleAgentSignBatch(fields.dump(), out);
    auto frames = testing::splitFrames(out.bytes);
    EXPECT_TRUE(frames && frames->size() == 1);
    return frames && !frames->empty() ? json::parse(frames->front()) : json();
}

class SoftHsmSigning : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!testing::softHsmAvailable()) return;
        lab = new SoftHsmLab;
        lab->initToken("t1", kPin);
        main = lab->importPair("t1", kPin, "main", "rsa:2048", "01");
        ecWithKey = lab->importPair("t1", kPin, "ecpair", "ec", "02");
        ecAlone = lab->importPair("t1", kPin, "eccert", "ec", "03", /*withKey=*/false);
        lab->placeModule("System32/eToken.dll");
        logPath = lab->dir() + "/agent.log";
        closeLog();
        initLogAt(logPath);
    }
    static void TearDownTestSuite() {
        closeLog();
        delete lab;
        lab = nullptr;
    }
    void SetUp() override {
        if (!lab) GTEST_SKIP() << "SoftHSM2, pkcs11-tool or openssl missing";
        logMark = fileText(logPath).size();
    }

    // The log lines written since the test began, without their time stamps.
    std::vector<std::string> newLogLines() const {
        std::vector<std::string> lines;
        std::istringstream in(fileText(logPath).substr(logMark));
        for (std::string line; std::getline(in, line);) lines.push_back(line.size() > 22 ? line.substr(22) : line);
        return lines;
    }

    static json call(std::string_view type, const LabCertificate& cert, json fields) {
        if (!fields.contains("thumbprint")) fields["thumbprint"] = cert.thumbprint;
        if (!fields.contains("pin")) fields["pin"] = kPin;
        return reply(type, std::move(fields));
    }

    std::string file(std::string_view name) const { return lab->dir() + "/" + std::string(name); }

    // openssl cms -verify over the detached content; with `anchor` the
    // signer's certificate is also checked as trust anchor.
    bool cmsVerifies(const std::string& signatureB64, ByteView content, bool anchor = false) {
        writeFile(file("sig.der"), *base64Decode(signatureB64));
        writeFile(file("content.bin"), content);
        std::string trust = anchor ? " -CAfile " + main.certPath + " -purpose any" : " -noverify";
        return runShell("openssl cms -verify -binary -inform DER -in " + file("sig.der") + " -content " +
                        file("content.bin") + trust + " -out /dev/null") == 0;
    }
    bool rawVerifies(const std::string& signatureB64, ByteView content) {
        writeFile(file("raw.sig"), *base64Decode(signatureB64));
        writeFile(file("content.bin"), content);
        return runShell("openssl x509 -in " + main.certPath + " -pubkey -noout > " + file("pub.pem") +
                        " && openssl dgst -sha256 -verify " + file("pub.pem") + " -signature " + file("raw.sig") +
                        " " + file("content.bin")) == 0;
    }
    std::string asn1Dump(ByteView der) {
        writeFile(file("dump.der"), der);
        runShell("openssl asn1parse -inform DER -in " + file("dump.der") + " > " + file("dump.txt"));
        return fileText(file("dump.txt"));
    }

    static inline SoftHsmLab* lab = nullptr;
    static inline LabCertificate main, ecWithKey, ecAlone;
    static inline std::string logPath;
    std::size_t logMark = 0;
};

TEST_F(SoftHsmSigning, CmsSignatureVerifiesAndHasTheExpectedShape) {
    json reply = call(kTypeAgentSign, main, {{"data", "YWJj"}});
    ASSERT_EQ(reply["type"], "QUILLON_AGENT_SIGN_RESPONSE") << reply.dump();
    EXPECT_EQ(reply["algorithm"], "SHA256withRSA");
    EXPECT_TRUE(std::regex_match(reply["signedAt"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
    EXPECT_EQ(*base64Decode(reply["certDer"].get<std::string>()), main.der);
    EXPECT_TRUE(cmsVerifies(reply["signature"], asBytes("abc")));
    EXPECT_TRUE(cmsVerifies(reply["signature"], asBytes("abc"), /*anchor=*/true));
    EXPECT_FALSE(cmsVerifies(reply["signature"], asBytes("abd")));
    // Detached: without the content there is nothing to verify.
    EXPECT_NE(runShell("openssl cms -verify -binary -inform DER -in " + file("sig.der") + " -noverify -out /dev/null"), 0);

    Bytes cms = *base64Decode(reply["signature"].get<std::string>());
    std::string dump = asn1Dump(cms);
    EXPECT_EQ(countOf(dump, "NULL"), countOf(asn1Dump(main.der), "NULL")) << "only the certificate may hold NULLs";
    auto ct = dump.find(":contentType"), st = dump.find(":signingTime"), md = dump.find(":messageDigest");
    ASSERT_NE(md, std::string::npos);
    EXPECT_TRUE(ct < st && st < md);
    EXPECT_EQ(countOf(dump, ":pkcs7-data"), 2u);  // encapContentInfo and the contentType value
    EXPECT_NE(std::search(cms.begin(), cms.end(), main.der.begin(), main.der.end()), cms.end());
    EXPECT_TRUE(newLogLines().empty()) << "success is never logged";
}

TEST_F(SoftHsmSigning, AnyFormatButTheExactOneGivesRawAndLineBreaksSignZeroBytes) {
    for (std::string format : {"PKCS7-DETACHED", "raw", " pkcs7-detached", "pkcs7"}) {
        json reply = call(kTypeAgentSign, main, {{"data", "YWJj"}, {"format", format}});
        ASSERT_EQ(reply["type"], "QUILLON_AGENT_SIGN_RESPONSE") << reply.dump();
        EXPECT_EQ(base64Decode(reply["signature"].get<std::string>())->size(), 256u);
        EXPECT_TRUE(rawVerifies(reply["signature"], asBytes("abc"))) << format;
    }
    json cms = call(kTypeAgentSign, main, {{"data", "\r\n"}});
    ASSERT_EQ(cms["type"], "QUILLON_AGENT_SIGN_RESPONSE") << cms.dump();
    EXPECT_TRUE(cmsVerifies(cms["signature"], {}));
    EXPECT_TRUE(rawVerifies(call(kTypeAgentSign, main, {{"data", "\n"}, {"format", "raw"}})["signature"], {}));
}

TEST_F(SoftHsmSigning, EcCertificatesAreRefusedAfterTheKeySearch) {
    for (auto [cert, reason] : {std::pair{&ecWithKey, "apenas certificados RSA são suportados"},
                                {&ecAlone, "chave privada não encontrada: nenhuma chave privada encontrada para o certificado"}}) {
        logMark = fileText(logPath).size();
        EXPECT_EQ(call(kTypeAgentSign, *cert, {{"data", "YWJj"}})["type"], "ERROR");
        auto lines = newLogLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(std::regex_match(lines[0], std::regex(std::string(R"(signInSlot \d+: )") + reason))) << lines[0];
    }
}

TEST_F(SoftHsmSigning, ThumbprintsMatchExactlyOrNotAtAll) {
    std::string upper = main.thumbprint;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (std::string t : {upper, main.thumbprint + " ", "\n" + main.thumbprint})
        EXPECT_EQ(call(kTypeAgentSign, main, {{"data", "YWJj"}, {"thumbprint", t}})["error"],
                  "erro ao assinar: certificado com thumbprint '" + t + "' não encontrado em nenhum token conectado");
    for (const auto& l : newLogLines()) EXPECT_EQ(l.find(upper), std::string::npos) << l;
}

TEST_F(SoftHsmSigning, BatchKeepsGoingPastABadItemAndSignsANullItem) {
    json items = json::array({{{"id", "a"}, {"data", "YWJj"}},
                              {{"id", "b"}, {"data", "YW*j"}},
                              {{"id", "c"}, {"data", "ZGVm"}, {"format", "raw"}},
                              {{"id", "a"}, {"data", ""}}});
    json reply = call(kTypeAgentSignBatch, main, {{"items", items}});
    ASSERT_EQ(reply["type"], "QUILLON_AGENT_SIGN_BATCH_RESPONSE") << reply.dump();
    auto& r = reply["results"];
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0]["id"], "a");
    EXPECT_TRUE(cmsVerifies(r[0]["signature"], asBytes("abc"), /*anchor=*/true));
    EXPECT_EQ(r[1], json({{"id", "b"}, {"error", "data base64 inválido: illegal base64 data at input byte 2"}}));
    EXPECT_TRUE(rawVerifies(r[2]["signature"], asBytes("def")));
    EXPECT_TRUE(cmsVerifies(r[3]["signature"], {}));
    EXPECT_EQ(r[3]["id"], "a");
    for (int i : {0, 2, 3}) {
        EXPECT_EQ(r[i]["certDer"], r[0]["certDer"]);
        EXPECT_EQ(r[i]["algorithm"], "SHA256withRSA");
        EXPECT_FALSE(r[i].contains("error"));
    }
    EXPECT_TRUE(newLogLines().empty());

    // A null item signs zero bytes as CMS, with an empty id.
    reply = call(kTypeAgentSignBatch, main, {{"items", json::array({nullptr})}});
    ASSERT_EQ(reply["results"].size(), 1u) << reply.dump();
    EXPECT_EQ(reply["results"][0]["id"], "");
    EXPECT_TRUE(cmsVerifies(reply["results"][0]["signature"], {}));
}

// A personal and a company certificate on two tokens, each with its own PIN,
// behind one module: signing with either never offers its PIN to the other
// token, nor any token a PIN for a certificate that none holds. A wrong PIN
// spends a try only on the token that holds the certificate.
TEST(SoftHsmTwoTokens, APinReachesOnlyTheTokenThatHoldsTheCertificate) {
    if (!testing::softHsmAvailable()) GTEST_SKIP() << "SoftHSM2, pkcs11-tool or openssl missing";
    SoftHsmLab lab;
    lab.initToken("personal", "111111");
    lab.initToken("company", "222222");
    const LabCertificate personal = lab.importPair("personal", "111111", "personal", "rsa:2048", "01");
    const LabCertificate company = lab.importPair("company", "222222", "company", "rsa:2048", "01");
    lab.placeModule("System32/eToken.dll");
    const std::string logPath = lab.dir() + "/two-tokens.log";
    closeLog();
    initLogAt(logPath);

    auto sign = [](const LabCertificate& cert, std::string_view pin, std::string_view type = kTypeAgentSign) {
        json fields = {{"thumbprint", cert.thumbprint}, {"pin", pin}};
        if (type == kTypeAgentSign)
            fields["data"] = "YWJj";
        else
            fields["items"] = json::array({{{"id", "1"}, {"data", "YWJj"}}});
        return reply(type, std::move(fields))["type"];
    };
    EXPECT_EQ(sign(personal, "111111"), "QUILLON_AGENT_SIGN_RESPONSE");
    EXPECT_EQ(sign(company, "222222"), "QUILLON_AGENT_SIGN_RESPONSE");
    EXPECT_EQ(sign(company, "222222", kTypeAgentSignBatch), "QUILLON_AGENT_SIGN_BATCH_RESPONSE");
    LabCertificate nowhere = personal;
    nowhere.thumbprint = std::string(40, '0');
    EXPECT_EQ(sign(nowhere, "111111"), "ERROR");
    EXPECT_EQ(sign(nowhere, "222222", kTypeAgentSignBatch), "ERROR");
    EXPECT_EQ(countOf(fileText(logPath), "CKR_PIN_INCORRECT"), 0u) << fileText(logPath);

    // The company PIN for the personal certificate: refused by that token alone.
    EXPECT_EQ(sign(personal, "222222"), "ERROR");
    EXPECT_EQ(countOf(fileText(logPath), "Login erro: pkcs11: 0xA0: CKR_PIN_INCORRECT"), 1u) << fileText(logPath);
    EXPECT_EQ(countOf(fileText(logPath), "PIN incorreto ou token bloqueado: pkcs11: 0xA0: CKR_PIN_INCORRECT"), 1u);
    closeLog();
}

}  // namespace
}  // namespace quillon
