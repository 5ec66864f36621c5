// Signing requests end to end against SoftHSM2 tokens, the signatures checked
// by the openssl command line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "base64.h"
#include "handlers.h"
#include "log.h"
#include "signing.h"
#include "softhsm_tokens.h"
#include "support/memory_streams.h"

namespace quillon {
namespace {

using nlohmann::json;
using testing::LabCertificate;
using testing::runShell;
using testing::SoftHsmLab;

constexpr std::string_view kPin = "123456";

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, ByteView bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<std::streamsize>(bytes.size()));
}

class SoftHsmSigning : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!testing::softHsmAvailable()) return;
        lab = new SoftHsmLab;
        for (auto label : {"t1", "t2"}) lab->initToken(label, kPin);
        auto order = lab->tokenLabelsInSlotOrder();
        ASSERT_EQ(order.size(), 2u);
        main = lab->importPair(order[0], kPin, "main", "rsa:2048", "01");
        ecWithKey = lab->importPair(order[0], kPin, "ecpair", "ec", "02");
        ecAlone = lab->importPair(order[0], kPin, "eccert", "ec", "03", /*withKey=*/false);
        later = lab->importPair(order[1], kPin, "later", "rsa:2048", "11");
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
        logMark = readText(logPath).size();
    }

    // The log lines written since the test began, without their time stamps.
    std::vector<std::string> newLogLines() const {
        std::string text = readText(logPath).substr(logMark);
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) lines.push_back(line.size() > 22 ? line.substr(22) : line);
        return lines;
    }

    static json request(std::string_view type, const LabCertificate& cert, json fields) {
        fields["type"] = type;
        fields["thumbprint"] = cert.thumbprint;
        if (!fields.contains("pin")) fields["pin"] = kPin;
        return fields;
    }
    static json call(const json& req) {
        testing::MemoryOutput out;
        std::string body = req.dump();
        if (req["type"] == kTypeAgentSign)
            handleAgentSign(body, out);
        else
            handleAgentSignBatch(body, out);
        auto frames = testing::splitFrames(out.bytes);
        EXPECT_TRUE(frames && frames->size() == 1);
        return frames && !frames->empty() ? json::parse(frames->front()) : json();
    }

    std::string file(std::string_view name) const { return lab->dir() + "/" + std::string(name); }

    // openssl cms -verify over the detached content; with `anchor` the
    // signer's certificate is also checked as trust anchor.
    bool cmsVerifies(const std::string& signatureB64, ByteView content, const LabCertificate& cert, bool anchor) {
        writeFile(file("sig.der"), *base64Decode(signatureB64));
        writeFile(file("content.bin"), content);
        std::string trust = anchor ? " -CAfile " + cert.certPath + " -purpose any" : " -noverify";
        return runShell("openssl cms -verify -binary -inform DER -in " + file("sig.der") + " -content " +
                        file("content.bin") + trust + " -out /dev/null") == 0;
    }
    bool rawVerifies(const std::string& signatureB64, ByteView content, const LabCertificate& cert) {
        writeFile(file("raw.sig"), *base64Decode(signatureB64));
        writeFile(file("content.bin"), content);
        return runShell("openssl x509 -in " + cert.certPath + " -pubkey -noout > " + file("pub.pem") +
                        " && openssl dgst -sha256 -verify " + file("pub.pem") + " -signature " + file("raw.sig") +
                        " " + file("content.bin")) == 0;
    }
    std::string asn1Dump(ByteView der) {
        writeFile(file("dump.der"), der);
        runShell("openssl asn1parse -inform DER -in " + file("dump.der") + " > " + file("dump.txt"));
        return readText(file("dump.txt"));
    }

    static inline SoftHsmLab* lab = nullptr;
    static inline LabCertificate main, ecWithKey, ecAlone, later;
    static inline std::string logPath;
    std::size_t logMark = 0;
};

std::size_t countOf(const std::string& text, const std::string& word) {
    std::size_t n = 0;
    for (auto p = text.find(word); p != std::string::npos; p = text.find(word, p + 1)) ++n;
    return n;
}

TEST_F(SoftHsmSigning, CmsSignatureVerifiesAndHasTheExpectedShape) {
    json reply = call(request(kTypeAgentSign, main, {{"data", "YWJj"}}));
    ASSERT_EQ(reply["type"], "QUILLON_AGENT_SIGN_RESPONSE") << reply.dump();
    EXPECT_EQ(reply["algorithm"], "SHA256withRSA");
    EXPECT_TRUE(std::regex_match(reply["signedAt"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
    EXPECT_EQ(*base64Decode(reply["certDer"].get<std::string>()), main.der);
    EXPECT_TRUE(cmsVerifies(reply["signature"], asBytes("abc"), main, false));
    EXPECT_TRUE(cmsVerifies(reply["signature"], asBytes("abc"), main, true));
    EXPECT_FALSE(cmsVerifies(reply["signature"], asBytes("abd"), main, false));
    // Detached: without the content there is nothing to verify.
    EXPECT_NE(runShell("openssl cms -verify -binary -inform DER -in " + file("sig.der") + " -noverify -out /dev/null"), 0);

    Bytes cms = *base64Decode(reply["signature"].get<std::string>());
    std::string dump = asn1Dump(cms);
    std::string certDump = asn1Dump(main.der);
    EXPECT_EQ(countOf(dump, "NULL"), countOf(certDump, "NULL")) << "only the certificate may hold NULLs";
    auto ct = dump.find(":contentType"), st = dump.find(":signingTime"), md = dump.find(":messageDigest");
    ASSERT_NE(md, std::string::npos);
    EXPECT_TRUE(ct < st && st < md);
    EXPECT_EQ(countOf(dump, ":pkcs7-data"), 2u);  // encapContentInfo and the contentType value
    EXPECT_NE(std::search(cms.begin(), cms.end(), main.der.begin(), main.der.end()), cms.end());
    EXPECT_TRUE(newLogLines().empty()) << "success is never logged";
}

TEST_F(SoftHsmSigning, AnyFormatButTheExactOneGivesRaw) {
    for (std::string format : {"PKCS7-DETACHED", "raw", " pkcs7-detached", "pkcs7"}) {
        json reply = call(request(kTypeAgentSign, main, {{"data", "YWJj"}, {"format", format}}));
        ASSERT_EQ(reply["type"], "QUILLON_AGENT_SIGN_RESPONSE") << reply.dump();
        EXPECT_EQ(base64Decode(reply["signature"].get<std::string>())->size(), 256u);
        EXPECT_TRUE(rawVerifies(reply["signature"], asBytes("abc"), main)) << format;
    }
}

TEST_F(SoftHsmSigning, LineBreaksOnlySignZeroBytes) {
    json cms = call(request(kTypeAgentSign, main, {{"data", "\r\n"}}));
    ASSERT_EQ(cms["type"], "QUILLON_AGENT_SIGN_RESPONSE") << cms.dump();
    EXPECT_TRUE(cmsVerifies(cms["signature"], {}, main, false));
    json raw = call(request(kTypeAgentSign, main, {{"data", "\n"}, {"format", "raw"}}));
    EXPECT_TRUE(rawVerifies(raw["signature"], {}, main));
}

TEST_F(SoftHsmSigning, CertificateInALaterSlotIsFound) {
    json reply = call(request(kTypeAgentSign, later, {{"data", "YWJj"}, {"format", "raw"}}));
    ASSERT_EQ(reply["type"], "QUILLON_AGENT_SIGN_RESPONSE") << reply.dump();
    EXPECT_TRUE(rawVerifies(reply["signature"], asBytes("abc"), later));
    auto lines = newLogLines();
    ASSERT_FALSE(lines.empty());  // the first token did not have it
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(signInSlot \d+: certificado não encontrado)"))) << lines[0];
    for (const auto& l : lines) EXPECT_EQ(l.find(later.thumbprint), std::string::npos);
}

TEST_F(SoftHsmSigning, EcCertificatesAreRefusedAfterTheKeySearch) {
    call(request(kTypeAgentSign, ecWithKey, {{"data", "YWJj"}}));
    auto lines = newLogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(signInSlot \d+: apenas certificados RSA são suportados)")))
        << lines[0];

    logMark = readText(logPath).size();
    call(request(kTypeAgentSign, ecAlone, {{"data", "YWJj"}}));
    lines = newLogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(signInSlot \d+: chave privada não encontrada: )"
                                                      R"(nenhuma chave privada encontrada para o certificado)")))
        << lines[0];
}

TEST_F(SoftHsmSigning, ThumbprintsMatchExactlyOrNotAtAll) {
    std::string upper = main.thumbprint;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (std::string t : {upper, main.thumbprint + " ", "\n" + main.thumbprint}) {
        json req = request(kTypeAgentSign, main, {{"data", "YWJj"}});
        req["thumbprint"] = t;
        json reply = call(req);
        EXPECT_EQ(reply["error"], "erro ao assinar: certificado com thumbprint '" + t +
                                      "' não encontrado em nenhum token conectado");
    }
    for (const auto& l : newLogLines()) EXPECT_EQ(l.find(upper), std::string::npos) << l;
}

TEST_F(SoftHsmSigning, BatchKeepsGoingPastABadItem) {
    json items = json::array({{{"id", "a"}, {"data", "YWJj"}},
                              {{"id", "b"}, {"data", "YW*j"}},
                              {{"id", "c"}, {"data", "ZGVm"}, {"format", "raw"}},
                              {{"id", "a"}, {"data", ""}}});
    json reply = call(request(kTypeAgentSignBatch, main, {{"items", items}}));
    ASSERT_EQ(reply["type"], "QUILLON_AGENT_SIGN_BATCH_RESPONSE") << reply.dump();
    auto& r = reply["results"];
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0]["id"], "a");
    EXPECT_TRUE(cmsVerifies(r[0]["signature"], asBytes("abc"), main, true));
    EXPECT_EQ(r[1], json({{"id", "b"}, {"error", "data base64 inválido: illegal base64 data at input byte 2"}}));
    EXPECT_TRUE(rawVerifies(r[2]["signature"], asBytes("def"), main));
    EXPECT_TRUE(cmsVerifies(r[3]["signature"], {}, main, false));
    EXPECT_EQ(r[3]["id"], "a");
    for (int i : {0, 2, 3}) {
        EXPECT_EQ(r[i]["certDer"], r[0]["certDer"]);
        EXPECT_EQ(r[i]["algorithm"], "SHA256withRSA");
        EXPECT_FALSE(r[i].contains("error"));
    }
    EXPECT_TRUE(newLogLines().empty());
}

TEST_F(SoftHsmSigning, BatchOfOneNullItemSignsZeroBytesAsCms) {
    json reply = call(request(kTypeAgentSignBatch, main, {{"items", json::array({nullptr})}}));
    ASSERT_EQ(reply["results"].size(), 1u) << reply.dump();
    EXPECT_EQ(reply["results"][0]["id"], "");
    EXPECT_TRUE(cmsVerifies(reply["results"][0]["signature"], {}, main, false));
}

TEST(SoftHsmTwoModules, EarlierModuleSigns) {
    if (!testing::softHsmAvailable()) GTEST_SKIP();
    SoftHsmLab lab;
    lab.initToken("unico", kPin);
    LabCertificate cert = lab.importPair("unico", kPin, "dup", "rsa:2048", "01");
    std::string first = lab.placeModule("System32/eToken.dll");
    std::string second = lab.placeModule("System32/cryptoki.dll");
    auto reply = signWithToken(cert.thumbprint, kPin, "YWJj", "");
    ASSERT_TRUE(reply) << reply.error().text;
    std::string maps = readText("/proc/self/maps");
    EXPECT_NE(maps.find(lab.dir() + "/sysroot/System32/eToken.dll"), std::string::npos);
    EXPECT_EQ(maps.find(lab.dir() + "/sysroot/System32/cryptoki.dll"), std::string::npos);
    (void)first;
    (void)second;
}

}  // namespace
}  // namespace quillon
