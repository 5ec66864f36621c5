// Signing through the scripted module placed at candidate paths: the exact
// PKCS#11 call order of a success and of every failing path, what reaches the
// browser, and every log line.
#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/pem.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "base64.h"
#include "handlers.h"
#include "paths.h"
#include "pkcs11_signer.h"
#include "platform/fs.h"
#include "signing.h"
#include "support/memory_streams.h"
#include "support/signing_test_certs.h"
#include "support/token_fixtures.h"

namespace quillon {
namespace {

using nlohmann::json;
using testing::CandidateRoots;
using testing::CapturedLog;
using testing::ScriptedModule;

// A key and certificate shared by the whole suite (RSA keys are slow to make).
struct SignerPair {
    std::shared_ptr<EVP_PKEY> key = testing::makeRsaKey();
    Bytes der = testing::makeCertificate(key.get());
    std::string thumbprint = thumbprintOf(der);
};
const SignerPair& signer() {
    static const SignerPair s;
    return s;
}

std::string hostPath(std::string path) {
#ifndef _WIN32
    std::replace(path.begin(), path.end(), '\\', '/');
#endif
    return path;
}

class SigningScripted : public ::testing::Test {
protected:
    CandidateRoots roots;
    CapturedLog log;
    testing::ScratchFolder scratch{"signing"};
    std::string keyFile;

    void SetUp() override {
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_PrivateKey(bio, signer().key.get(), nullptr, nullptr, 0, nullptr, nullptr);
        char* pem = nullptr;
        long n = BIO_get_mem_data(bio, &pem);
        keyFile = scratch.file("key.pem");
        (void)platform::writeWholeFile(keyFile, ByteView(reinterpret_cast<const std::uint8_t*>(pem), static_cast<std::size_t>(n)), 0600);
        BIO_free(bio);
    }

    std::string at(std::string_view relative) const { return joinPath(roots.systemRoot(), relative); }

    json certObject(const Bytes& der, std::string_view id = "01") const {
        json o = {{"class", "certificate"}, {"valueHex", testing::hexOf(der)}};
        o["id"] = id;
        return o;
    }
    json keyObject(std::string_view id = "01") const {
        json o = {{"class", "privateKey"}, {"keyFile", hostPath(keyFile)}};
        o["id"] = id;
        return o;
    }
    // One slot (id 1, PIN "1234") holding the signer's certificate and key.
    json token(json extra = json::object()) const {
        json config = {{"slots", {{{"id", 1}, {"pin", "1234"}, {"objects", {certObject(signer().der), keyObject()}}}}}};
        config.update(extra);
        return config;
    }
    ScriptedModule module(std::string_view relative, const json& config) const {
        return ScriptedModule(at(relative), config.dump());
    }

    // The log lines after the agent's first line.
    std::vector<std::string> lines() const {
        auto all = log.lines();
        return all.empty() ? all : std::vector<std::string>(all.begin() + 1, all.end());
    }

    static json call(std::string_view type, json fields) {
        fields["type"] = type;
        testing::MemoryOutput out;
        if (type == kTypeAgentSign)
            handleAgentSign(fields.dump(), out);
        else
            handleAgentSignBatch(fields.dump(), out);
        auto frames = testing::splitFrames(out.bytes);
        EXPECT_TRUE(frames && frames->size() == 1);
        return frames && frames->size() == 1 ? json::parse(frames->front()) : json();
    }
    static json sign(json fields) {
        if (!fields.contains("thumbprint")) fields["thumbprint"] = signer().thumbprint;
        if (!fields.contains("pin")) fields["pin"] = "1234";
        if (!fields.contains("data")) fields["data"] = "YWJj";
        return call(kTypeAgentSign, fields);
    }
    static json batch(json items, json fields = json::object()) {
        if (!fields.contains("thumbprint")) fields["thumbprint"] = signer().thumbprint;
        if (!fields.contains("pin")) fields["pin"] = "1234";
        fields["items"] = items;
        return call(kTypeAgentSignBatch, fields);
    }
    static std::string notFound(std::string_view thumbprint) {
        return "certificado com thumbprint '" + std::string(thumbprint) + "' não encontrado em nenhum token conectado";
    }
};

// The calls from the session's opening on (loading, C_Initialize and the slot list left out).
std::vector<std::string> sessionCalls(const ScriptedModule& m) {
    auto calls = m.calls();
    auto first = std::find(calls.begin(), calls.end(), "C_OpenSession");
    return std::vector<std::string>(first, calls.end());
}
std::vector<std::string> linesStarting(const ScriptedModule& m, std::string_view call) {
    std::vector<std::string> out;
    for (const auto& l : m.journal())
        if (l.starts_with(std::string(call) + " ")) out.push_back(l);
    return out;
}
// Every opened session closed, every started search finished, every
// successful login logged out, and the session closed last.
void expectCleanUp(const ScriptedModule& m) {
    std::size_t opened = 0, closed = 0, started = 0, finished = 0, logins = 0, logouts = 0;
    for (const auto& line : m.journal()) {
        bool ok = line.ends_with(" rv=0x0");
        opened += line.starts_with("C_OpenSession ") && ok;
        closed += line.starts_with("C_CloseSession ");
        started += line.starts_with("C_FindObjectsInit ") && ok;
        finished += line.starts_with("C_FindObjectsFinal ");
        logins += line.starts_with("C_Login ");
        logouts += line.starts_with("C_Logout ");
    }
    EXPECT_EQ(opened, closed);
    EXPECT_EQ(started, finished);
    EXPECT_EQ(logins, logouts);  // a failed login is logged out at once, too
    if (opened) {
        EXPECT_EQ(m.calls().back(), "C_CloseSession");
    }
}

using Calls = std::vector<std::string>;

TEST_F(SigningScripted, SuccessMakesExactlyTheseCallsAndNoLogLine) {
    auto m = module("System32\\eToken.dll", token());
    json reply = sign({});
    ASSERT_EQ(reply["type"], "QUILLON_AGENT_SIGN_RESPONSE") << reply.dump();
    EXPECT_TRUE(testing::opensslVerifyDetachedCms(*base64Decode(reply["signature"].get<std::string>()),
                                                  asBytes("abc"), signer().der));
    EXPECT_EQ(*base64Decode(reply["certDer"].get<std::string>()), signer().der);
    EXPECT_EQ(sessionCalls(m), (Calls{"C_OpenSession", "C_Login", "C_FindObjectsInit", "C_FindObjects",
                                      "C_GetAttributeValue", "C_GetAttributeValue", "C_FindObjectsFinal",
                                      "C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal", "C_SignInit",
                                      "C_Sign", "C_Sign", "C_Logout", "C_CloseSession"}));
    EXPECT_TRUE(linesStarting(m, "C_OpenSession")[0].find("flags=0x6") != std::string::npos);
    auto inits = linesStarting(m, "C_FindObjectsInit");
    EXPECT_NE(inits[0].find("template=CKA_CLASS:1 "), std::string::npos) << inits[0];
    EXPECT_NE(inits[1].find("template=CKA_CLASS:3,CKA_ID:01 "), std::string::npos) << inits[1];
    EXPECT_NE(linesStarting(m, "C_FindObjects")[1].find("max=1 "), std::string::npos);
    EXPECT_NE(linesStarting(m, "C_Sign")[1].find("dataLen=51 "), std::string::npos);  // DigestInfo of SHA-256
    EXPECT_TRUE(lines().empty());

    json raw = sign({{"format", "Pkcs7-detached"}});
    EXPECT_TRUE(testing::opensslVerifyRaw(*base64Decode(raw["signature"].get<std::string>()), asBytes("abc"),
                                          signer().der));
    expectCleanUp(m);
}

TEST_F(SigningScripted, WrongPinLogsTwoLinesAndLogsOutBeforeClosing) {
    auto m = module("System32\\eToken.dll", token());
    json reply = sign({{"pin", "9999"}});
    EXPECT_EQ(reply, json({{"type", "ERROR"}, {"error", "erro ao assinar: " + notFound(signer().thumbprint)}}));
    EXPECT_EQ(sessionCalls(m), (Calls{"C_OpenSession", "C_Login", "C_Logout", "C_CloseSession"}));
    EXPECT_EQ(lines(), (Calls{"signInSlot 1: Login erro: pkcs11: 0xA0: CKR_PIN_INCORRECT",
                              "signInSlot 1: PIN incorreto ou token bloqueado: pkcs11: 0xA0: CKR_PIN_INCORRECT"}));

    // A batch logs only the driver's line.
    json b = batch(json::array({{{"id", "1"}, {"data", "YWJj"}}}), {{"pin", "9999"}});
    EXPECT_EQ(b["error"], "erro ao assinar batch: " + notFound(signer().thumbprint));
    EXPECT_EQ(lines().back(), "signBatchInSlot 1: PIN incorreto ou token bloqueado: pkcs11: 0xA0: CKR_PIN_INCORRECT");
    EXPECT_EQ(lines().size(), 3u);
    expectCleanUp(m);
}

TEST_F(SigningScripted, ReadOnlyTokenIsNotSignedOn) {
    json config = token();
    config["slots"][0]["readOnly"] = true;
    auto m = module("System32\\eToken.dll", config);
    EXPECT_EQ(sign({})["type"], "ERROR");
    EXPECT_EQ(sessionCalls(m), (Calls{"C_OpenSession"}));  // no read-only retry, nothing to close
    EXPECT_EQ(lines(), (Calls{"signInSlot 1: OpenSession erro: pkcs11: 0xE2: CKR_TOKEN_WRITE_PROTECTED",
                              "signInSlot 1: pkcs11: 0xE2: CKR_TOKEN_WRITE_PROTECTED"}));
}

TEST_F(SigningScripted, LaterSlotAndLaterModuleAreTried) {
    auto other = testing::makeCertificate(signer().key.get(), {.commonName = "Outro:1"});
    json first = {{"slots",
                   {{{"id", 4}, {"pin", "1234"}, {"objects", {certObject(other)}}},
                    {{"id", 9}, {"tokenPresent", false}},
                    {{"id", 5}, {"pin", "1234"}, {"objects", {certObject(other, "02")}}}}}};
    auto a = module("System32\\eToken.dll", first);
    auto b = module("System32\\cryptoki.dll", token());
    json reply = sign({{"format", "raw"}});
    ASSERT_EQ(reply["type"], "QUILLON_AGENT_SIGN_RESPONSE") << reply.dump();
    EXPECT_EQ(lines(), (Calls{"signInSlot 4: certificado não encontrado", "signInSlot 5: certificado não encontrado"}));
    expectCleanUp(a);
    expectCleanUp(b);
}

TEST_F(SigningScripted, EarlierOfTwoModulesSignsAndTheLaterIsNotLoaded) {
    auto a = module("System32\\eToken.dll", token());
    auto b = module("System32\\cryptoki.dll", token());
    ASSERT_EQ(sign({})["type"], "QUILLON_AGENT_SIGN_RESPONSE");
    auto calls = a.calls();
    EXPECT_NE(std::count(calls.begin(), calls.end(), "C_Sign"), 0);
    EXPECT_TRUE(b.journal().empty());
}

TEST_F(SigningScripted, UnreadableOrUnlikeCertificateObjectsAreSkipped) {
    json o1 = certObject(signer().der, "0A");
    o1["sensitive"] = {"CKA_ID"};
    json o2 = certObject(signer().der, "0B");  // the same value again: this one is readable
    json o3 = certObject(signer().der, "0C");  // a third copy is never read
    json config = {{"slots", {{{"id", 1}, {"pin", "1234"}, {"objects", {o1, o2, o3, keyObject("0B")}}}}}};
    auto m = module("System32\\eToken.dll", config);
    ASSERT_EQ(sign({})["type"], "QUILLON_AGENT_SIGN_RESPONSE");
    EXPECT_NE(linesStarting(m, "C_FindObjectsInit")[1].find("CKA_ID:0b"), std::string::npos)
        << linesStarting(m, "C_FindObjectsInit")[1];
    EXPECT_EQ(linesStarting(m, "C_GetAttributeValue").size(), 3u);  // o1 refused once, o2 twice (lengths, values)
}

TEST_F(SigningScripted, TrailingBytesAfterTheCertificateStopTheSlot) {
    Bytes value = signer().der;
    value.push_back(0x00);
    json config = {{"slots", {{{"id", 1}, {"pin", "1234"}, {"objects", {certObject(value), keyObject()}}}}}};
    auto m = module("System32\\eToken.dll", config);
    EXPECT_EQ(sign({{"thumbprint", thumbprintOf(value)}})["type"], "ERROR");
    ASSERT_EQ(lines().size(), 1u);
    EXPECT_TRUE(lines()[0].starts_with("signInSlot 1: ParseCertificate: ")) << lines()[0];
    EXPECT_TRUE(linesStarting(m, "C_SignInit").empty());
    expectCleanUp(m);
}

TEST_F(SigningScripted, ASearchThatNeverEndsDoesNotHangTheAgent) {
    auto other = testing::makeCertificate(signer().key.get(), {.commonName = "Outro:2"});
    json config = {{"slots", {{{"id", 1}, {"pin", "1234"}, {"objects", {certObject(other)}}}}}, {"endlessSearch", "repeat"}};
    auto m = module("System32\\eToken.dll", config);
    EXPECT_EQ(sign({})["type"], "ERROR");
    EXPECT_EQ(lines(), (Calls{"signInSlot 1: certificado não encontrado"}));
    expectCleanUp(m);
}

TEST_F(SigningScripted, EmptyIdSearchesKeysByClassAlone) {
    json config = {{"slots", {{{"id", 1}, {"pin", "1234"}, {"objects", {certObject(signer().der, ""), keyObject("77")}}}}}};
    auto m = module("System32\\eToken.dll", config);
    ASSERT_EQ(sign({})["type"], "QUILLON_AGENT_SIGN_RESPONSE");
    EXPECT_NE(linesStarting(m, "C_FindObjectsInit")[1].find("template=CKA_CLASS:3 "), std::string::npos);
}

TEST_F(SigningScripted, TwentyCertificatesWithoutAMatchTakeThreeSearchCalls) {
    json objects = json::array();
    for (int i = 0; i < 20; ++i)
        objects.push_back(certObject(testing::makeCertificate(signer().key.get(), {.serialMagnitude = {static_cast<std::uint8_t>(i + 2)}})));
    auto m = module("System32\\eToken.dll", {{"slots", {{{"id", 1}, {"objects", objects}}}}});
    EXPECT_EQ(sign({})["type"], "ERROR");
    auto finds = linesStarting(m, "C_FindObjects");
    ASSERT_EQ(finds.size(), 3u);
    EXPECT_NE(finds[0].find("count=16"), std::string::npos);
    EXPECT_NE(finds[1].find("count=4"), std::string::npos);
    EXPECT_NE(finds[2].find("count=0"), std::string::npos);
    EXPECT_EQ(lines().back(), "signInSlot 1: certificado não encontrado");
}

// Each failing call of the path, in turn: the slot's reason in the log, and
// every search finished, the login undone and the session closed.
struct FailingStep {
    const char* call;
    int nth;
    const char* rv;
    const char* format;
    const char* reason;
};

class SigningScriptedFailure : public SigningScripted, public ::testing::WithParamInterface<FailingStep> {};

TEST_P(SigningScriptedFailure, IsCleanedUpAndLogged) {
    const FailingStep& c = GetParam();
    auto m = module("System32\\eToken.dll", token({{"failures", {{{"call", c.call}, {"nth", c.nth}, {"rv", c.rv}}}}}));
    json reply = sign({{"format", c.format}});
    EXPECT_EQ(reply["error"], "erro ao assinar: " + notFound(signer().thumbprint));
    EXPECT_EQ(lines(), (Calls{std::string("signInSlot 1: ") + c.reason}));
    expectCleanUp(m);
    if (std::string_view(c.call) == "C_SignInit") {
        EXPECT_TRUE(linesStarting(m, "C_Sign").empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, SigningScriptedFailure,
    ::testing::Values(
        FailingStep{"C_FindObjectsInit", 1, "CKR_DEVICE_ERROR", "", "pkcs11: 0x30: CKR_DEVICE_ERROR"},
        FailingStep{"C_FindObjects", 1, "CKR_DEVICE_ERROR", "", "certificado não encontrado"},
        FailingStep{"C_GetAttributeValue", 0, "CKR_DEVICE_ERROR", "", "certificado não encontrado"},
        FailingStep{"C_FindObjectsInit", 2, "CKR_DEVICE_ERROR", "",
                    "chave privada não encontrada: pkcs11: 0x30: CKR_DEVICE_ERROR"},
        FailingStep{"C_FindObjects", 2, "CKR_DEVICE_ERROR", "",
                    "chave privada não encontrada: nenhuma chave privada encontrada para o certificado"},
        FailingStep{"C_SignInit", 0, "CKR_USER_NOT_LOGGED_IN", "",
                    "buildPkcs7: signer.Sign: SignInit: pkcs11: 0x101: CKR_USER_NOT_LOGGED_IN"},
        FailingStep{"C_SignInit", 0, "CKR_USER_NOT_LOGGED_IN", "raw",
                    "Sign raw: SignInit: pkcs11: 0x101: CKR_USER_NOT_LOGGED_IN"},
        FailingStep{"C_Sign", 1, "CKR_DEVICE_ERROR", "", "buildPkcs7: signer.Sign: Sign: pkcs11: 0x30: CKR_DEVICE_ERROR"},
        FailingStep{"C_Sign", 2, "CKR_DEVICE_ERROR", "raw", "Sign raw: Sign: pkcs11: 0x30: CKR_DEVICE_ERROR"}));

TEST_F(SigningScripted, BatchItemsFailOneByOneWhileTheSlotAnswers) {
    // From the second signature on the token stops answering.
    json failures = json::array();
    for (int nth = 2; nth <= 5; ++nth)
        failures.push_back({{"call", "C_SignInit"}, {"nth", nth}, {"rv", nth == 2 ? "CKR_USER_NOT_LOGGED_IN" : "CKR_DEVICE_REMOVED"}});
    auto m = module("System32\\eToken.dll", token({{"failures", failures}}));
    json reply = batch(json::array({{{"id", "a"}, {"data", "YWJj"}},
                                    {{"id", "b"}, {"data", "Y"}},
                                    {{"id", "c"}, {"data", "YWJj"}},
                                    {{"id", "d"}, {"data", "YWJj"}, {"format", "raw"}}}));
    ASSERT_EQ(reply["type"], "QUILLON_AGENT_SIGN_BATCH_RESPONSE") << reply.dump();
    auto& r = reply["results"];
    ASSERT_EQ(r.size(), 4u);
    EXPECT_TRUE(testing::opensslVerifyDetachedCms(*base64Decode(r[0]["signature"].get<std::string>()), asBytes("abc"),
                                                  signer().der));
    EXPECT_EQ(r[1], json({{"id", "b"}, {"error", "data base64 inválido: illegal base64 data at input byte 1"}}));
    EXPECT_EQ(r[2], json({{"id", "c"}, {"error", "buildPkcs7: signer.Sign: SignInit: pkcs11: 0x101: CKR_USER_NOT_LOGGED_IN"}}));
    EXPECT_EQ(r[3], json({{"id", "d"}, {"error", "Sign raw: SignInit: pkcs11: 0x32: CKR_DEVICE_REMOVED"}}));
    // One session, one login, one lookup for the whole batch.
    auto calls = m.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "C_Login"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "C_FindObjectsInit"), 2);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "C_SignInit"), 3);
    expectCleanUp(m);
    EXPECT_TRUE(lines().empty());
}

TEST_F(SigningScripted, BatchWithoutAnyTokenFailsAsAWhole) {
    auto m = module("System32\\eToken.dll", {{"slots", {{{"id", 1}, {"tokenPresent", false}}}}});
    json reply = batch(json::array({nullptr}));
    EXPECT_EQ(reply, json({{"type", "ERROR"}, {"error", "erro ao assinar batch: " + notFound(signer().thumbprint)}}));
    EXPECT_TRUE(lines().empty());
}

TEST_F(SigningScripted, UnreadableSlotListResetsTheModule) {
    auto m = module("System32\\eToken.dll", token({{"failures", {{{"call", "C_GetSlotList"}, {"nth", 1}, {"rv", "CKR_DEVICE_ERROR"}}}}}));
    std::string path = at("System32\\eToken.dll");
    EXPECT_EQ(sign({})["type"], "ERROR");
    EXPECT_EQ(lines(), (Calls{"signFromLib GetSlotList erro: pkcs11: 0x30: CKR_DEVICE_ERROR",
                              "contexto PKCS#11 resetado: " + path}));
    // Loaded and initialised again by the next request, which now signs.
    EXPECT_EQ(sign({})["type"], "QUILLON_AGENT_SIGN_RESPONSE");
    auto calls = m.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "C_Initialize"), 2);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "C_Finalize"), 1);
}

TEST_F(SigningScripted, BatchPassesUnloadableModulesSilently) {
    std::string bogus = at("System32\\eToken.dll");
    (void)platform::createDirectories(at("System32"));
    (void)platform::writeWholeFile(bogus, asBytes("not a library"), 0644);
    EXPECT_EQ(batch(json::array({nullptr}))["type"], "ERROR");
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(sign({})["type"], "ERROR");
    EXPECT_EQ(lines(), (Calls{"signFromLib getPkcs11Ctx erro: falha ao carregar: " + bogus}));
}

TEST_F(SigningScripted, RequestsAreCheckedBeforeAnyModule) {
    auto m = module("System32\\eToken.dll", token());
    EXPECT_EQ(sign({{"data", ""}})["error"], "thumbprint, data e pin são obrigatórios");
    EXPECT_EQ(sign({{"pin", ""}})["error"], "thumbprint, data e pin são obrigatórios");
    EXPECT_EQ(sign({{"thumbprint", ""}})["error"], "thumbprint, data e pin são obrigatórios");
    EXPECT_TRUE(sign({{"pin", 1234}})["error"].get<std::string>().starts_with("json inválido para SIGN: "));
    EXPECT_EQ(sign({{"data", "YW=j"}})["error"], "erro ao assinar: data base64 inválido: illegal base64 data at input byte 3");
    for (json items : {json(nullptr), json::array()})
        EXPECT_EQ(batch(items)["error"], "thumbprint, pin e items são obrigatórios");
    EXPECT_EQ(call(kTypeAgentSignBatch, {{"thumbprint", "x"}, {"pin", "1"}})["error"],
              "thumbprint, pin e items são obrigatórios");
    EXPECT_TRUE(batch(json::array({1}))["error"].get<std::string>().starts_with("json inválido para SIGN_BATCH: "));
    EXPECT_TRUE(m.journal().empty());
    // A PIN of one blank is not empty: signing is attempted with it.
    EXPECT_EQ(sign({{"pin", " "}})["error"], "erro ao assinar: " + notFound(signer().thumbprint));
    EXPECT_EQ(lines().front(), "signInSlot 1: Login erro: pkcs11: 0xA0: CKR_PIN_INCORRECT");
}

TEST(TokenSigner, RefusesOtherHashesBeforeCallingTheToken) {
    ModuleContext none;  // no function list: any call would crash
    pkcs11Signer s(none, 1, 2, nullptr);
    for (auto [hash, name] : {std::pair{HashFunction::SHA1, "SHA-1"}, std::pair{HashFunction::SHA512, "SHA-512"}}) {
        auto out = s.Sign(nullptr, Bytes(32), SignerOpts{hash});
        ASSERT_FALSE(out);
        EXPECT_EQ(out.error().text, std::string("quillon-agent: apenas SHA-256 é suportado (recebido: ") + name + ")");
    }
    EXPECT_EQ(testing::hexOf(sha256DigestInfo(Bytes(1, 0xAB))), "3031300D060960864801650304020105000420AB");
}

}  // namespace
}  // namespace quillon
