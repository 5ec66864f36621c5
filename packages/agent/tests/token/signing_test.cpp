// Signing through the scripted module placed at candidate paths: the exact
// PKCS#11 call order of a success and of every failing path, what reaches the
// browser, and every log line.
#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/pem.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

#include "common/paths.h"
#include "host/handlers.h"
#include "platform/fs.h"
#include "support/base64_decode.h"
#include "support/memory_streams.h"
#include "support/signing_test_certs.h"
#include "support/token_fixtures.h"
#include "token/signature_check.h"
#include "token/signing.h"
#include "token/token_signer.h"

namespace quillon {
namespace {

using nlohmann::json;
using testing::base64Decode;
using testing::CandidateRoots;
using testing::CapturedLog;
using testing::ScriptedModule;
using Calls = std::vector<std::string>;

Bytes pemOf(EVP_PKEY* key) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* text = nullptr;
    long n = BIO_get_mem_data(bio, &text);
    Bytes out(text, text + n);
    BIO_free(bio);
    return out;
}

// A key and certificate shared by the whole suite (RSA keys are slow to make).
struct SignerPair {
    std::shared_ptr<EVP_PKEY> key = testing::makeRsaKey();
    Bytes der = testing::makeCertificate(key.get());
    std::string thumbprint = thumbprintOf(der);
    Bytes pem = pemOf(key.get());
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

json certObject(const Bytes& der, const std::string& id = "01") {
    return {{"class", "certificate"}, {"valueHex", testing::hexOf(der)}, {"id", id}};
}
// Slot 1, PIN "1234", holding `objects`.
json oneSlot(json objects) { return {{"slots", {{{"id", 1}, {"pin", "1234"}, {"objects", objects}}}}}; }

class SigningScripted : public ::testing::Test {
protected:
    CandidateRoots roots;
    CapturedLog log;
    testing::ScratchFolder scratch{"signing"};
    std::string keyFile = scratch.file("key.pem");

    void SetUp() override { ASSERT_TRUE(platform::replaceWholeFile(keyFile, signer().pem, 0600)); }

    std::string at(std::string_view relative) const { return joinPath(roots.systemRoot(), relative); }
    json keyObject(const std::string& id = "01") const {
        return {{"class", "privateKey"}, {"keyFile", hostPath(keyFile)}, {"id", id}};
    }
    // The signer's certificate and key in slot 1.
    json token(const json& extra = json::object()) const {
        json config = oneSlot({certObject(signer().der), keyObject()});
        config.update(extra);
        return config;
    }
    ScriptedModule module(std::string_view relative, const json& config) const {
        return ScriptedModule(at(relative), config.dump());
    }
    // The log lines after the agent's first line.
    Calls lines() const {
        auto all = log.lines();
        return all.empty() ? all : Calls(all.begin() + 1, all.end());
    }

    static json call(std::string_view type, json defaults, const json& fields) {
        if (fields.is_object()) defaults.update(fields);
        defaults["type"] = type;
        testing::MemoryOutput out;
        if (type == kTypeAgentSign)
            handleAgentSign(defaults.dump(), out);
        else
            handleAgentSignBatch(defaults.dump(), out);
        auto frames = testing::splitFrames(out.bytes);
        EXPECT_TRUE(frames && frames->size() == 1);
        return frames && frames->size() == 1 ? json::parse(frames->front()) : json();
    }
    static json sign(const json& fields = {}) {
        return call(kTypeAgentSign, {{"thumbprint", signer().thumbprint}, {"pin", "1234"}, {"data", "YWJj"}}, fields);
    }
    static json batch(json items, const json& fields = {}) {
        return call(kTypeAgentSignBatch, {{"thumbprint", signer().thumbprint}, {"pin", "1234"}, {"items", items}},
                    fields);
    }
    static std::string notFound() {
        return "certificado com thumbprint '" + signer().thumbprint + "' não encontrado em nenhum token conectado";
    }
    // A token whose every signature fails the check for `reason`: two single
    // requests (CMS, raw), then one batch of both forms.
    void expectEveryFormRefused(const ScriptedModule& m, const std::string& reason) const;
};

// The calls from the session's opening on (loading, C_Initialize and the slot list left out).
Calls sessionCalls(const ScriptedModule& m) {
    auto calls = m.calls();
    return Calls(std::find(calls.begin(), calls.end(), "C_OpenSession"), calls.end());
}
Calls linesStarting(const ScriptedModule& m, std::string_view call) {
    Calls out;
    for (const auto& l : m.journal())
        if (l.starts_with(std::string(call) + " ")) out.push_back(l);
    return out;
}
std::size_t countOf(const ScriptedModule& m, std::string_view call) {
    auto calls = m.calls();
    return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call));
}
// Every opened session closed (last), every started search finished, every
// login (a failed one too) logged out.
void expectCleanUp(const ScriptedModule& m) {
    std::size_t opened = 0, started = 0;
    for (const auto& line : m.journal()) {
        bool ok = line.ends_with(" rv=0x0");
        opened += line.starts_with("C_OpenSession ") && ok;
        started += line.starts_with("C_FindObjectsInit ") && ok;
    }
    EXPECT_EQ(opened, countOf(m, "C_CloseSession"));
    EXPECT_EQ(started, countOf(m, "C_FindObjectsFinal"));
    EXPECT_EQ(countOf(m, "C_Login"), countOf(m, "C_Logout"));
    if (opened) {
        EXPECT_EQ(m.calls().back(), "C_CloseSession");
    }
}

TEST_F(SigningScripted, SuccessMakesExactlyTheseCallsAndNoLogLine) {
    auto m = module("System32\\eToken.dll", token());
    json reply = sign();
    ASSERT_EQ(reply["type"], "QUILLON_AGENT_SIGN_RESPONSE") << reply.dump();
    EXPECT_TRUE(testing::opensslVerifyDetachedCms(*base64Decode(reply["signature"].get<std::string>()),
                                                  asBytes("abc"), signer().der));
    EXPECT_EQ(*base64Decode(reply["certDer"].get<std::string>()), signer().der);
    EXPECT_EQ(sessionCalls(m), (Calls{"C_OpenSession", "C_FindObjectsInit", "C_FindObjects", "C_GetAttributeValue",
                                      "C_GetAttributeValue", "C_FindObjectsFinal", "C_Login", "C_FindObjectsInit",
                                      "C_FindObjects", "C_FindObjectsFinal", "C_SignInit", "C_Sign", "C_Sign",
                                      "C_Logout", "C_CloseSession"}));
    EXPECT_NE(linesStarting(m, "C_OpenSession")[0].find("flags=0x6"), std::string::npos);
    auto inits = linesStarting(m, "C_FindObjectsInit");
    EXPECT_NE(inits[0].find("template=CKA_CLASS:1 "), std::string::npos) << inits[0];
    EXPECT_NE(inits[1].find("template=CKA_CLASS:3,CKA_ID:01 "), std::string::npos) << inits[1];
    // Certificates in batches of 16 (the loop is the listing's, tested there), the key alone.
    EXPECT_NE(linesStarting(m, "C_FindObjects")[0].find("max=16 "), std::string::npos);
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
    EXPECT_EQ(sign({{"pin", "9999"}}), json({{"type", "ERROR"}, {"error", "erro ao assinar: " + notFound()}}));
    EXPECT_EQ(sessionCalls(m), (Calls{"C_OpenSession", "C_FindObjectsInit", "C_FindObjects", "C_GetAttributeValue",
                                      "C_GetAttributeValue", "C_FindObjectsFinal", "C_Login", "C_Logout",
                                      "C_CloseSession"}));
    EXPECT_EQ(lines(), (Calls{"signInSlot 1: Login erro: pkcs11: 0xA0: CKR_PIN_INCORRECT",
                              "signInSlot 1: PIN incorreto ou token bloqueado: pkcs11: 0xA0: CKR_PIN_INCORRECT"}));

    // A batch logs only the driver's line.
    json b = batch(json::array({{{"id", "1"}, {"data", "YWJj"}}}), {{"pin", "9999"}});
    EXPECT_EQ(b["error"], "erro ao assinar batch: " + notFound());
    EXPECT_EQ(lines().back(), "signBatchInSlot 1: PIN incorreto ou token bloqueado: pkcs11: 0xA0: CKR_PIN_INCORRECT");
    EXPECT_EQ(lines().size(), 3u);
    expectCleanUp(m);
}

// Two tokens with PINs of their own: the PIN reaches only the token that
// holds the certificate, single and batch alike, whichever slot comes first,
// and no token at all for a thumbprint that none holds.
class SigningScriptedTwoTokens : public SigningScripted {
protected:
    const json mine = {{"id", 2}, {"pin", "1234"}, {"objects", {certObject(signer().der), keyObject()}}};
    const json theirs = {{"id", 7},
                         {"pin", "7777"},
                         {"objects", {certObject(testing::makeCertificate(signer().key.get(), {.commonName = "Outro:3"}), "02")}}};

    void expectThePinOnlyOnMine(const json& slots) const {
        auto m = module("System32\\eToken.dll", {{"slots", slots}});
        ASSERT_EQ(sign()["type"], "QUILLON_AGENT_SIGN_RESPONSE");
        ASSERT_EQ(batch(json::array({{{"id", "1"}, {"data", "YWJj"}}}))["type"], "QUILLON_AGENT_SIGN_BATCH_RESPONSE");
        for (const char* pin : {"1234", "7777"}) {
            EXPECT_EQ(sign({{"thumbprint", std::string(40, 'a')}, {"pin", pin}})["type"], "ERROR");
            EXPECT_EQ(batch(json::array({nullptr}), {{"thumbprint", std::string(40, 'a')}, {"pin", pin}})["type"], "ERROR");
        }
        // Each C_Login's session, by the slot it was opened on.
        std::map<std::string, std::string> slotOfSession;
        std::vector<std::string> loggedInto;
        for (const auto& line : m.journal()) {
            auto field = [&](const std::string& key) {
                auto at = line.find(" " + key + "=");
                return at == std::string::npos ? std::string()
                                               : line.substr(at + key.size() + 2, line.find(' ', at + 1) - at - key.size() - 2);
            };
            if (line.starts_with("C_OpenSession ")) slotOfSession[field("session")] = field("slot");
            if (line.starts_with("C_Login ")) loggedInto.push_back(slotOfSession[field("session")] + " " + field("rv"));
        }
        EXPECT_EQ(loggedInto, (Calls{"2 0x0", "2 0x0"}));
        // A token passed over says only that the certificate is not there.
        for (const auto& line : lines()) EXPECT_TRUE(line.ends_with(" certificado não encontrado")) << line;
        expectCleanUp(m);
    }
};

TEST_F(SigningScriptedTwoTokens, TheOtherTokenFirst) { expectThePinOnlyOnMine(json::array({theirs, mine})); }
TEST_F(SigningScriptedTwoTokens, TheOtherTokenSecond) { expectThePinOnlyOnMine(json::array({mine, theirs})); }

TEST_F(SigningScripted, ReadOnlyTokenIsNotSignedOn) {
    json config = token();
    config["slots"][0]["readOnly"] = true;
    auto m = module("System32\\eToken.dll", config);
    EXPECT_EQ(sign()["type"], "ERROR");
    EXPECT_EQ(sessionCalls(m), (Calls{"C_OpenSession"}));  // no read-only retry, nothing to close
    EXPECT_EQ(lines(), (Calls{"signInSlot 1: OpenSession erro: pkcs11: 0xE2: CKR_TOKEN_WRITE_PROTECTED",
                              "signInSlot 1: pkcs11: 0xE2: CKR_TOKEN_WRITE_PROTECTED"}));

    // A batch logs only the driver's line.
    EXPECT_EQ(batch(json::array({{{"id", "1"}, {"data", "YWJj"}}}))["type"], "ERROR");
    EXPECT_EQ(lines().back(), "signBatchInSlot 1: pkcs11: 0xE2: CKR_TOKEN_WRITE_PROTECTED");
    EXPECT_EQ(lines().size(), 3u);
}

// Later slots and modules are tried; the first success wins and what follows is not even loaded.
TEST_F(SigningScripted, LaterSlotAndLaterModuleAreTriedUntilOneSigns) {
    auto other = testing::makeCertificate(signer().key.get(), {.commonName = "Outro:1"});
    json first = {{"slots",
                   {{{"id", 4}, {"pin", "1234"}, {"objects", {certObject(other)}}},
                    {{"id", 9}, {"tokenPresent", false}},
                    {{"id", 5}, {"pin", "1234"}, {"objects", {certObject(other, "02")}}}}}};
    auto a = module("System32\\eToken.dll", first);
    auto b = module("System32\\cryptoki.dll", token());
    auto c = module("System32\\pkcs11.dll", token());
    json reply = sign({{"format", "raw"}});
    ASSERT_EQ(reply["type"], "QUILLON_AGENT_SIGN_RESPONSE") << reply.dump();
    EXPECT_EQ(lines(), (Calls{"signInSlot 4: certificado não encontrado", "signInSlot 5: certificado não encontrado"}));
    expectCleanUp(a);
    expectCleanUp(b);
    EXPECT_NE(countOf(b, "C_Sign"), 0u);
    EXPECT_TRUE(c.journal().empty());
}

TEST_F(SigningScripted, UnreadableOrUnlikeCertificateObjectsAreSkipped) {
    json o1 = certObject(signer().der, "0A");
    o1["sensitive"] = {"CKA_ID"};
    // The same value again, readable; a third copy is never read.
    auto m = module("System32\\eToken.dll",
                    oneSlot({o1, certObject(signer().der, "0B"), certObject(signer().der, "0C"), keyObject("0B")}));
    ASSERT_EQ(sign()["type"], "QUILLON_AGENT_SIGN_RESPONSE");
    EXPECT_NE(linesStarting(m, "C_FindObjectsInit")[1].find("CKA_ID:0b"), std::string::npos)
        << linesStarting(m, "C_FindObjectsInit")[1];
    EXPECT_EQ(countOf(m, "C_GetAttributeValue"), 3u);  // o1 refused once, o2 twice (lengths, values)
}

TEST_F(SigningScripted, TrailingBytesAfterTheCertificateStopTheSlot) {
    Bytes value = signer().der;
    value.push_back(0x00);
    auto m = module("System32\\eToken.dll", oneSlot({certObject(value), keyObject()}));
    EXPECT_EQ(sign({{"thumbprint", thumbprintOf(value)}})["type"], "ERROR");
    ASSERT_EQ(lines().size(), 1u);
    EXPECT_TRUE(lines()[0].starts_with("signInSlot 1: ParseCertificate: ")) << lines()[0];
    EXPECT_EQ(countOf(m, "C_SignInit"), 0u);
    expectCleanUp(m);
}

TEST_F(SigningScripted, ASearchThatNeverEndsDoesNotHangTheAgent) {
    auto other = testing::makeCertificate(signer().key.get(), {.commonName = "Outro:2"});
    // json::array: a braced list of one json is an array to GCC but that json itself to clang.
    json config = oneSlot(json::array({certObject(other)}));
    config["endlessSearch"] = "repeat";
    auto m = module("System32\\eToken.dll", config);
    EXPECT_EQ(sign()["type"], "ERROR");
    EXPECT_EQ(lines(), (Calls{"signInSlot 1: certificado não encontrado"}));
    expectCleanUp(m);
}

TEST_F(SigningScripted, EmptyIdSearchesKeysByClassAlone) {
    auto m = module("System32\\eToken.dll", oneSlot({certObject(signer().der, ""), keyObject("77")}));
    ASSERT_EQ(sign()["type"], "QUILLON_AGENT_SIGN_RESPONSE");
    EXPECT_NE(linesStarting(m, "C_FindObjectsInit")[1].find("template=CKA_CLASS:3 "), std::string::npos);
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
    EXPECT_EQ(sign({{"format", c.format}})["error"], "erro ao assinar: " + notFound());
    EXPECT_EQ(lines(), (Calls{std::string("signInSlot 1: ") + c.reason}));
    expectCleanUp(m);
    if (std::string_view(c.call) == "C_SignInit") {
        EXPECT_EQ(countOf(m, "C_Sign"), 0u);
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

// From the second signature on the token stops answering; one session, one
// login and one lookup serve the whole batch.
TEST_F(SigningScripted, BatchItemsFailOneByOneWhileTheSlotAnswers) {
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
    EXPECT_EQ(countOf(m, "C_Login"), 1u);
    EXPECT_EQ(countOf(m, "C_FindObjectsInit"), 2u);
    EXPECT_EQ(countOf(m, "C_SignInit"), 3u);
    expectCleanUp(m);
    EXPECT_TRUE(lines().empty());
}

TEST_F(SigningScripted, BatchWithoutAnyTokenFailsAsAWhole) {
    auto m = module("System32\\eToken.dll", {{"slots", {{{"id", 1}, {"tokenPresent", false}}}}});
    EXPECT_EQ(batch(json::array({nullptr})), json({{"type", "ERROR"}, {"error", "erro ao assinar batch: " + notFound()}}));
    EXPECT_TRUE(lines().empty());
}

TEST_F(SigningScripted, UnreadableSlotListResetsTheModule) {
    auto m = module("System32\\eToken.dll", token({{"failures", {{{"call", "C_GetSlotList"}, {"nth", 1}, {"rv", "CKR_DEVICE_ERROR"}}}}}));
    EXPECT_EQ(sign()["type"], "ERROR");
    EXPECT_EQ(lines(), (Calls{"signFromLib GetSlotList erro: pkcs11: 0x30: CKR_DEVICE_ERROR",
                              "contexto PKCS#11 resetado: " + m.path()}));
    // Loaded and initialised again by the next request, which now signs.
    EXPECT_EQ(sign()["type"], "QUILLON_AGENT_SIGN_RESPONSE");
    EXPECT_EQ(countOf(m, "C_Initialize"), 2u);
    EXPECT_EQ(countOf(m, "C_Finalize"), 1u);
}

TEST_F(SigningScripted, BatchPassesUnloadableModulesSilently) {
    std::string bogus = at("System32\\eToken.dll");
    (void)platform::createDirectories(at("System32"));
    (void)platform::replaceWholeFile(bogus, asBytes("not a library"), 0644);
    EXPECT_EQ(batch(json::array({nullptr}))["type"], "ERROR");
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(sign()["type"], "ERROR");
    EXPECT_EQ(lines(), (Calls{"signFromLib getPkcs11Ctx erro: falha ao carregar: " + bogus}));
}

TEST_F(SigningScripted, RequestsAreCheckedBeforeAnyModule) {
    auto m = module("System32\\eToken.dll", token());
    for (const char* empty : {"data", "pin", "thumbprint"})
        EXPECT_EQ(sign({{empty, ""}})["error"], "thumbprint, data e pin são obrigatórios") << empty;
    EXPECT_TRUE(sign({{"pin", 1234}})["error"].get<std::string>().starts_with("json inválido para SIGN: "));
    EXPECT_EQ(sign({{"data", "YW=j"}})["error"], "erro ao assinar: data base64 inválido: illegal base64 data at input byte 3");
    for (json items : {json(nullptr), json::array()})
        EXPECT_EQ(batch(items)["error"], "thumbprint, pin e items são obrigatórios");
    EXPECT_EQ(call(kTypeAgentSignBatch, {{"thumbprint", "x"}, {"pin", "1"}}, {})["error"],
              "thumbprint, pin e items são obrigatórios");
    EXPECT_TRUE(batch(json::array({1}))["error"].get<std::string>().starts_with("json inválido para SIGN_BATCH: "));
    EXPECT_TRUE(m.journal().empty());
    // A PIN of one blank is not empty: signing is attempted with it.
    EXPECT_EQ(sign({{"pin", " "}})["error"], "erro ao assinar: " + notFound());
    EXPECT_EQ(lines().front(), "signInSlot 1: Login erro: pkcs11: 0xA0: CKR_PIN_INCORRECT");
}

void SigningScripted::expectEveryFormRefused(const ScriptedModule& m, const std::string& reason) const {
    EXPECT_EQ(sign(), json({{"type", "ERROR"}, {"error", "erro ao assinar: " + notFound()}}));
    EXPECT_EQ(sign({{"format", "raw"}})["error"], "erro ao assinar: " + notFound());
    json b = batch(json::array({{{"id", "a"}, {"data", "YWJj"}}, {{"id", "b"}, {"data", "YWJj"}, {"format", "raw"}}}));
    ASSERT_EQ(b["type"], "QUILLON_AGENT_SIGN_BATCH_RESPONSE");
    EXPECT_EQ(b["results"], json::array({{{"id", "a"}, {"error", "buildPkcs7: signer.Sign: Sign: " + reason}},
                                         {{"id", "b"}, {"error", "Sign raw: Sign: " + reason}}}));
    const std::string refused = "assinatura do token recusada: " + reason;
    EXPECT_EQ(lines(), (Calls{refused, "signInSlot 1: buildPkcs7: signer.Sign: Sign: " + reason, refused,
                              "signInSlot 1: Sign raw: Sign: " + reason, refused, refused}));
    // Each signature was a length query and then a real call with a buffer,
    // which ends the operation, so every later C_SignInit was accepted.
    auto signs = linesStarting(m, "C_Sign");
    ASSERT_EQ(signs.size(), 8u);
    for (std::size_t i = 0; i < signs.size(); ++i)
        EXPECT_TRUE(signs[i].find(i % 2 ? "buffer=1" : "buffer=0") != std::string::npos &&
                    signs[i].ends_with(" rv=0x0"))
            << signs[i];
    for (const auto& line : linesStarting(m, "C_SignInit")) EXPECT_TRUE(line.ends_with(" rv=0x0")) << line;
    expectCleanUp(m);
}

// A token that answers CKR_OK with a signature that does not check out:
// every form fails as a refused C_Sign does, and the log says why.
struct ForgedSignature {
    const char* name;
    unsigned long length;
    bool garbage;
    const char* reason;
};

class SigningScriptedForged : public SigningScripted, public ::testing::WithParamInterface<ForgedSignature> {};

TEST_P(SigningScriptedForged, IsRefusedInEveryForm) {
    const ForgedSignature& f = GetParam();
    auto m = module("System32\\eToken.dll", token({{"signature", {{"length", f.length}, {"garbage", f.garbage}}}}));
    expectEveryFormRefused(m, f.reason);
}

INSTANTIATE_TEST_SUITE_P(
    OkButWrong, SigningScriptedForged,
    ::testing::Values(ForgedSignature{"Empty", 0, false, "assinatura com 0 bytes, a chave tem 256"},
                      ForgedSignature{"Truncated", 255, false, "assinatura com 255 bytes, a chave tem 256"},
                      ForgedSignature{"Garbage", 256, true, "assinatura não confere com a chave pública do certificado"},
                      ForgedSignature{"SixtyFourMiB", 64UL << 20, false, "assinatura com 67108864 bytes, a chave tem 256"}),
    [](const auto& info) { return std::string(info.param.name); });

// A module whose length query is wrong: the buffer it is handed holds any
// RSA signature a token makes (2,048 bytes), it is told that true size, and
// every operation the agent started ends, so the next item signs.
struct CarelessQuery {
    const char* name;
    unsigned long answer;
    bool insist;
};

class SigningScriptedCarelessQuery : public SigningScripted, public ::testing::WithParamInterface<CarelessQuery> {};

TEST_P(SigningScriptedCarelessQuery, NeverShrinksTheBufferNorLeavesTheOperationActive) {
    const CarelessQuery& q = GetParam();
    auto m = module("System32\\eToken.dll", token({{"lengthQuery", {{"answer", q.answer}, {"insist", q.insist}}}}));
    json reply = batch(json::array({{{"id", "a"}, {"data", "YWJj"}, {"format", "raw"}},
                                    {{"id", "b"}, {"data", "YWJj"}},
                                    {{"id", "c"}, {"data", "YWJj"}, {"format", "raw"}}}));
    ASSERT_EQ(reply["type"], "QUILLON_AGENT_SIGN_BATCH_RESPONSE") << reply.dump();
    auto& r = reply["results"];
    ASSERT_EQ(r.size(), 3u);
    for (const auto& result : r) {
        if (q.insist) {
            EXPECT_EQ(result["error"].get<std::string>().find("SignInit"), std::string::npos) << result;
            EXPECT_NE(result["error"].get<std::string>().find("Sign: pkcs11: 0x150: CKR_BUFFER_TOO_SMALL"),
                      std::string::npos) << result;
        } else {
            EXPECT_FALSE(result.contains("error")) << result;
        }
    }
    if (!q.insist) {
        EXPECT_TRUE(testing::opensslVerifyRaw(*base64Decode(r[2]["signature"].get<std::string>()), asBytes("abc"),
                                              signer().der));
        EXPECT_TRUE(testing::opensslVerifyDetachedCms(*base64Decode(r[1]["signature"].get<std::string>()),
                                                      asBytes("abc"), signer().der));
    }
    for (const auto& line : linesStarting(m, "C_SignInit")) EXPECT_TRUE(line.ends_with(" rv=0x0")) << line;
    for (const auto& line : linesStarting(m, "C_Sign"))
        if (line.find("buffer=1") != std::string::npos) {
            const std::string told = q.answer >= 2048 && q.answer <= (64UL << 20) ? std::to_string(q.answer) : "2048";
            EXPECT_NE(line.find(" given=" + told + " "), std::string::npos) << line;
        }
    expectCleanUp(m);
}

INSTANTIATE_TEST_SUITE_P(
    WrongLengthQuery, SigningScriptedCarelessQuery,
    ::testing::Values(CarelessQuery{"Zero", 0, false}, CarelessQuery{"Short", 100, false},
                      CarelessQuery{"OneShort", 255, false}, CarelessQuery{"Longer", 300, false},
                      CarelessQuery{"LongerThanAnySignature", 3000, false},
                      CarelessQuery{"OverLarge", (64UL << 20) + 1, false},
                      CarelessQuery{"OverLargeAndInsisting", (64UL << 20) + 1, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A careless module (length query answered with 0) whose key is larger than
// its certificate's (a certificate without an identifier, a renewal that kept
// the identifier): it writes its key's whole signature whatever it is told.
// The buffer holds any RSA signature a token makes, the wrong-length
// signature is refused, and the agent goes on answering.
TEST_F(SigningScripted, CarelessModuleWithAKeyLargerThanTheCertificatesOverflowsNothing) {
    std::string largeFile = scratch.file("large.pem");
    ASSERT_TRUE(platform::replaceWholeFile(largeFile, pemOf(testing::makeRsaKey(4096).get()), 0600));
    json key = keyObject();
    key["keyFile"] = hostPath(largeFile);
    json config = oneSlot({certObject(signer().der), key});
    config["lengthQuery"] = {{"answer", 0}};
    auto m = module("System32\\eToken.dll", config);
    const json single = {{"type", kTypeAgentSign}, {"thumbprint", signer().thumbprint}, {"pin", "1234"}, {"data", "YWJj"}};
    const json many = {{"type", kTypeAgentSignBatch},
                       {"thumbprint", signer().thumbprint},
                       {"pin", "1234"},
                       {"items", {{{"id", "a"}, {"data", "YWJj"}}, {{"id", "b"}, {"data", "YWJj"}, {"format", "raw"}}}}};
    testing::MemoryInput in(testing::frameOf(single.dump()) + testing::frameOf(many.dump()) +
                            testing::frameOf(R"({"type":"QUILLON_PING"})"));
    testing::MemoryOutput out;
    serveRequests(in, out);
    auto replies = testing::splitFrames(out.bytes);
    ASSERT_TRUE(replies && replies->size() == 3u) << out.bytes;
    EXPECT_EQ(json::parse((*replies)[0]), json({{"type", "ERROR"}, {"error", "erro ao assinar: " + notFound()}}));
    const std::string reason = "assinatura com 512 bytes, a chave tem 256";
    EXPECT_EQ(json::parse((*replies)[1])["results"],
              json::array({{{"id", "a"}, {"error", "buildPkcs7: signer.Sign: Sign: " + reason}},
                           {{"id", "b"}, {"error", "Sign raw: Sign: " + reason}}}));
    EXPECT_EQ(json::parse((*replies)[2])["type"], kTypePong);
    // Each real call was told a size at least as large as what it wrote.
    auto written = linesStarting(m, "C_Sign");
    std::erase_if(written, [](const std::string& line) { return line.find("buffer=1") == std::string::npos; });
    ASSERT_EQ(written.size(), 3u);
    for (const auto& line : written) {
        auto number = [&](const std::string& field) {
            auto at = line.find(" " + field + "=");
            return at == std::string::npos ? 0UL : std::stoul(line.substr(at + field.size() + 2));
        };
        EXPECT_EQ(number("sigLen"), 512u) << line;
        EXPECT_GE(number("given"), number("sigLen")) << line;
    }
    expectCleanUp(m);
}

// The token signs well, but with a key that is not the certificate's own.
TEST_F(SigningScripted, KeyThatIsNotTheCertificatesOwnSignsNothing) {
    auto stranger = testing::makeRsaKey();
    std::string strangerFile = scratch.file("stranger.pem");
    ASSERT_TRUE(platform::replaceWholeFile(strangerFile, pemOf(stranger.get()), 0600));
    json key = keyObject();
    key["keyFile"] = hostPath(strangerFile);
    auto m = module("System32\\eToken.dll", oneSlot({certObject(signer().der), key}));
    expectEveryFormRefused(m, "assinatura não confere com a chave pública do certificado");
}

TEST(TokenSignatureCheck, AcceptsOnlyTheKeysSignatureOfTheseOctets) {
    const Bytes digest(32, 0x42), other(32, 0x43);
    const Bytes good = testing::opensslSignDigest(signer().key.get(), digest);
    EXPECT_TRUE(checkRsaSignature(signer().key.get(), sha256DigestInfo(digest), good));
    // A valid signature, but of other octets: a token answering with a stale signature.
    EXPECT_EQ(checkRsaSignature(signer().key.get(), sha256DigestInfo(other), good).error().text,
              "assinatura não confere com a chave pública do certificado");
    EXPECT_EQ(checkRsaSignature(nullptr, sha256DigestInfo(digest), good).error().text,
              "assinatura sem chave pública para conferi-la");
}

TEST(TokenSigner, RefusesOtherHashesBeforeCallingTheToken) {
    ModuleContext none;  // no function list: any call would crash
    pkcs11Signer s(none, 1, 2, nullptr);
    for (auto [hash, name] : {std::pair{HashFunction::SHA1, "SHA-1"}, std::pair{HashFunction::SHA512, "SHA-512"}}) {
        auto out = s.Sign(nullptr, Bytes(32), SignerOpts{hash});
        ASSERT_FALSE(out);
        EXPECT_EQ(out.error().text, std::string("quillon-agent: apenas SHA-256 é suportado (recebido: ") + name + ")");
    }
}

}  // namespace
}  // namespace quillon
