// Certificate listing through the scripted module placed at candidate paths:
// call order, batches, failures on every level, de-duplication and the exact
// log lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "common/base64.h"
#include "common/paths.h"
#include "host/framing.h"
#include "host/handlers.h"
#include "support/memory_streams.h"
#include "support/test_certificates.h"
#include "support/token_fixtures.h"
#include "token/listing.h"
#include "token/pkcs11_context.h"
#include "token/pkcs11_search.h"
#include "x509/certificate.h"

namespace quillon {
namespace {

using testing::CandidateRoots;
using testing::CapturedLog;
using testing::ScriptedModule;
using testing::buildCertificate;
using testing::TestCertRecipe;
using Lines = std::vector<std::string>;

// Certificates and their objects' JSON for a scripted slot.
struct CertSet {
    std::vector<Bytes> ders;
    std::string objects(std::size_t first = 0, std::size_t n = SIZE_MAX) const {
        std::string json;
        for (std::size_t i = first; i < ders.size() && i < first + n; ++i) {
            if (!json.empty()) json += ",";
            json += R"({"class":"certificate","id":"0)" + std::to_string(i % 10) + R"(","valueHex":")" +
                    testing::hexText(ders[i]) + R"("})";
        }
        return json;
    }
};

CertSet makeCerts(std::size_t n) {
    CertSet set;
    for (std::size_t i = 0; i < n; ++i)
        set.ders.push_back(testing::certificateNamed("Holder " + std::to_string(i) + ":" + std::to_string(10000 + i),
                                                     static_cast<long>(i + 1)));
    return set;
}

std::string oneSlot(const std::string& objects, const std::string& extra = "") {
    return R"({"slots":[{"id":1,"objects":[)" + objects + "]}]" + extra + "}";
}

std::size_t countOf(const Lines& calls, std::string_view name) {
    return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), name));
}
bool has(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Every opened session closed, every started search finished.
void expectCleanJournal(const ScriptedModule& module) {
    std::size_t opened = 0, closed = 0, started = 0, finished = 0;
    for (const auto& line : module.journal()) {
        bool ok = line.ends_with(" rv=0x0");
        opened += line.starts_with("C_OpenSession ") && ok;
        closed += line.starts_with("C_CloseSession ");
        started += line.starts_with("C_FindObjectsInit ") && ok;
        finished += line.starts_with("C_FindObjectsFinal ");
    }
    EXPECT_EQ(opened, closed);
    EXPECT_EQ(started, finished);
}

const std::string kEmptyListing = R"({"type":"QUILLON_LIST_CERTS_RESPONSE","certificates":[]})";

TEST(Listing, SearchesInBatchesOfSixteenUntilAnEmptyBatch) {
    const struct {
        std::size_t objects;
        const char* extra;
        std::size_t searches;
    } cases[] = {{16, "", 2}, {17, "", 3}, {12, R"(,"batchSize":5)", 4}};  // short batches don't end it
    auto certs = makeCerts(17);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.objects);
        CandidateRoots roots;
        ScriptedModule module(joinPath(roots.systemRoot(), "System32\\eToken.dll"),
                              oneSlot(certs.objects(0, c.objects), c.extra));
        auto listed = listCertificates();
        ASSERT_TRUE(listed);
        EXPECT_EQ(listed->size(), c.objects);
        EXPECT_EQ(countOf(module.calls(), "C_FindObjects"), c.searches);
        expectCleanJournal(module);
    }
}

class ListingTest : public ::testing::Test {
protected:
    CandidateRoots roots;
    CapturedLog log;
    std::string at(std::string_view relative) const { return joinPath(roots.systemRoot(), relative); }
    // The log lines after the agent's first line.
    Lines lines() const {
        auto all = log.lines();
        return Lines(all.begin() + 1, all.end());
    }
};

TEST_F(ListingTest, LogsEveryStepOfAModuleWithOneTokenInOrder) {
    TestCertRecipe first;
    first.subject = {{"CN", "MARIA SILVA:12345678900"}};
    first.issuer = {{"O", "ICP"}, {"CN", "AC Uno"}};
    first.notAfter = "20281231235959Z";
    TestCertRecipe second;
    second.subject = {{"CN", "EMPRESA"}};
    second.issuer = {{"C", "BR"}};
    second.notAfter = "491231000000Z";
    CertSet certs{{buildCertificate(first), buildCertificate(second)}};
    ScriptedModule module(at("System32\\eToken.dll"), R"({"slots":[{"id":3,"objects":[)" + certs.objects() + "]}]}");

    auto listed = listCertificates();
    ASSERT_TRUE(listed);
    ASSERT_EQ(listed->size(), 2u);
    EXPECT_EQ((*listed)[0].CommonName, "MARIA SILVA:12345678900");
    EXPECT_EQ((*listed)[1].Issuer, "");
    const std::string& p = module.path();
    EXPECT_EQ(lines(), (Lines{
                           "PKCS#11 bibliotecas candidatas: [" + p + "]",
                           "tentando lib: " + p,
                           "lib " + p + ": 1 slots com token",
                           "  processando slot 3",
                           "  slot 3: 2 certificados",
                           "lib " + p + ": 2 certificados encontrados",
                           "  cert: MARIA SILVA:12345678900 | taxId: 12345678900 | issuer: AC Uno | valido ate: 2028-12-31T23:59:59Z",
                           "  cert: EMPRESA | taxId:  | issuer:  | valido ate: 2049-12-31T00:00:00Z",
                           "total certificados retornados: 2",
                       }));
    EXPECT_EQ(module.calls(), (Lines{"C_GetFunctionList", "C_Initialize", "C_GetSlotList", "C_GetSlotList",
                                     "C_OpenSession", "C_FindObjectsInit", "C_FindObjects", "C_GetAttributeValue",
                                     "C_GetAttributeValue", "C_GetAttributeValue", "C_GetAttributeValue",
                                     "C_FindObjects", "C_FindObjectsFinal", "C_CloseSession"}));
    auto journal = module.journal();
    EXPECT_EQ(journal[4], "C_OpenSession slot=3 flags=0x6 session=1 rv=0x0");
    EXPECT_EQ(journal[5], "C_FindObjectsInit session=1 template=CKA_CLASS:1,CKA_CERTIFICATE_TYPE:0 rv=0x0");
    EXPECT_EQ(journal[7], "C_GetAttributeValue session=1 object=1 types=CKA_VALUE buffers=0 rv=0x0");
}

TEST_F(ListingTest, ACertificateNameCannotForgeALogLine) {
    TestCertRecipe forged;
    forged.subject = {{"CN", "Fulano\r\n[2026-01-01 00:00:00] total certificados retornados: 0\x1B[2J:123"}};
    forged.issuer = {{"CN", "AC\nRaiz"}};
    CertSet certs{{buildCertificate(forged)}};
    ScriptedModule module(at("System32\\eToken.dll"), oneSlot(certs.objects()));

    auto listed = listCertificates();
    ASSERT_TRUE(listed);
    ASSERT_EQ(listed->size(), 1u);
    EXPECT_EQ((*listed)[0].CommonName, forged.subject[0].value) << "only the log line is escaped";
    const std::string& p = module.path();
    EXPECT_EQ(lines(), (Lines{
                           "PKCS#11 bibliotecas candidatas: [" + p + "]",
                           "tentando lib: " + p,
                           "lib " + p + ": 1 slots com token",
                           "  processando slot 1",
                           "  slot 1: 1 certificados",
                           "lib " + p + ": 1 certificados encontrados",
                           "  cert: Fulano\\x0D\\x0A[2026-01-01 00:00:00] total certificados retornados: 0\\x1B[2J:123"
                           " | taxId: 123 | issuer: AC\\x0ARaiz | valido ate: 2030-01-01T00:00:00Z",
                           "total certificados retornados: 1",
                       }));
}

TEST_F(ListingTest, NoCandidateModuleIsTheOneErrorAndTheReplyIsStillAnEmptyList) {
    auto listed = listCertificates();
    ASSERT_FALSE(listed);
    EXPECT_EQ(listed.error().text, "nenhuma biblioteca PKCS#11 encontrada no sistema");
    EXPECT_FALSE(listed.error().cause);
    EXPECT_EQ(lines(), (Lines{"PKCS#11 bibliotecas candidatas: []",
                              "ERRO: nenhuma biblioteca PKCS#11 encontrada no sistema"}));

    testing::MemoryOutput out;
    handleListCerts(out);
    EXPECT_EQ(out.bytes, testing::frameOf(kEmptyListing));
    EXPECT_EQ(lines().back(), "LIST_CERTS erro: nenhuma biblioteca PKCS#11 encontrada no sistema");
}

TEST_F(ListingTest, AModuleThatFailsToLoadIsLoggedTwiceAndSkipped) {
    std::string broken = at("System32\\eToken.dll");
    testing::copyFileTo(testing::scriptedModuleLibrary(), broken);
    std::ofstream(testing::hostFilesystemPath(broken), std::ios::trunc) << "MZ but nothing more";

    testing::MemoryOutput out;
    handleListCerts(out);
    EXPECT_EQ(out.bytes, testing::frameOf(kEmptyListing));
    EXPECT_EQ(lines(), (Lines{"PKCS#11 bibliotecas candidatas: [" + broken + "]", "tentando lib: " + broken,
                              "getPkcs11Ctx(" + broken + ") erro: falha ao carregar: " + broken,
                              "lib " + broken + ": erro: falha ao carregar: " + broken,
                              "total certificados retornados: 0"}));
}

// The SafeNet and Thales modules live under "x64" and "x86" folders: a person
// reading the log to find which driver failed sees each path as it is.
TEST_F(ListingTest, ModulePathsInTheLogAreThePathsAsTheyStand) {
    const std::string broken = joinPath(roots.programFilesX86(), "SafeNet\\Authentication\\SAC\\x86\\eToken.dll");
    testing::copyFileTo(testing::scriptedModuleLibrary(), broken);
    std::ofstream(testing::hostFilesystemPath(broken), std::ios::trunc) << "MZ but nothing more";
    ScriptedModule safeNet(joinPath(roots.programFiles(), "SafeNet\\Authentication\\SAC\\x64\\eToken.dll"),
                           oneSlot(""));
    ScriptedModule thales(joinPath(roots.programFiles(), "Thales\\SafeNet Authentication Client\\x64\\eToken.dll"),
                          R"({"failures":[{"call":"C_Initialize","rv":"CKR_DEVICE_ERROR"}]})");
    ASSERT_TRUE(listCertificates());
    const std::string &x64 = safeNet.path(), &x86 = broken, &thales64 = thales.path();
    EXPECT_EQ(lines(), (Lines{
                           "PKCS#11 bibliotecas candidatas: [" + x64 + " " + x86 + " " + thales64 + "]",
                           "tentando lib: " + x64,
                           "lib " + x64 + ": 1 slots com token",
                           "  processando slot 1",
                           "  slot 1: 0 certificados",
                           "lib " + x64 + ": 0 certificados encontrados",
                           "tentando lib: " + x86,
                           "getPkcs11Ctx(" + x86 + ") erro: falha ao carregar: " + x86,
                           "lib " + x86 + ": erro: falha ao carregar: " + x86,
                           "tentando lib: " + thales64,
                           "getPkcs11Ctx(" + thales64 + ") erro: Initialize(" + thales64 + "): pkcs11: 0x30: CKR_DEVICE_ERROR",
                           "lib " + thales64 + ": erro: Initialize(" + thales64 + "): pkcs11: 0x30: CKR_DEVICE_ERROR",
                           "total certificados retornados: 0",
                       }));
}

TEST_F(ListingTest, TheSameCertificateThroughTwoModulesOrTwiceInASlotIsListedOnce) {
    auto certs = makeCerts(2);
    ScriptedModule first(at("System32\\eToken.dll"), oneSlot(certs.objects() + "," + certs.objects(0, 1)));
    ScriptedModule second(joinPath(roots.programFiles(), "OpenSC Project\\OpenSC\\pkcs11\\opensc-pkcs11.dll"),
                          oneSlot(certs.objects(1, 1)));
    auto listed = listCertificates();
    ASSERT_TRUE(listed);
    ASSERT_EQ(listed->size(), 2u);
    EXPECT_EQ((*listed)[0].Thumbprint, thumbprintOf(certs.ders[0]));
    EXPECT_EQ((*listed)[1].Thumbprint, thumbprintOf(certs.ders[1]));
    auto l = lines();
    EXPECT_TRUE(has(l, "  slot 1: 3 certificados"));
    EXPECT_TRUE(has(l, "lib " + first.path() + ": 3 certificados encontrados"));
    EXPECT_TRUE(has(l, "lib " + second.path() + ": 1 certificados encontrados"));
    EXPECT_EQ(std::count_if(l.begin(), l.end(), [](const std::string& s) { return s.starts_with("  cert: "); }), 2);
    EXPECT_EQ(l.back(), "total certificados retornados: 2");
}

TEST_F(ListingTest, SlotsAreVisitedInModuleOrderAndFailingOnesAreSkipped) {
    auto certs = makeCerts(3);
    ScriptedModule module(at("System32\\eToken.dll"),
                          R"({"slots":[{"id":5,"readOnly":true,"objects":[)" + certs.objects(0, 1) +
                              R"(]},{"id":2,"tokenPresent":false},{"id":8,"objects":[)" + certs.objects(1, 1) +
                              R"(]},{"id":4,"objects":[)" + certs.objects(2, 1) + R"(]}],
                              "failures":[{"call":"C_OpenSession","nth":3},{"call":"C_OpenSession","nth":4},
                                          {"call":"C_FindObjectsInit","nth":2,"rv":"CKR_DEVICE_REMOVED"}]})");
    auto listed = listCertificates();
    ASSERT_TRUE(listed);
    ASSERT_EQ(listed->size(), 1u);  // slot 5 through its read-only session
    EXPECT_EQ((*listed)[0].Thumbprint, thumbprintOf(certs.ders[0]));
    const std::string& p = module.path();
    EXPECT_EQ(lines(), (Lines{
                           "PKCS#11 bibliotecas candidatas: [" + p + "]",
                           "tentando lib: " + p,
                           "lib " + p + ": 3 slots com token",
                           "  processando slot 5",
                           "  slot 5: 1 certificados",
                           "  processando slot 8",
                           "  slot 8 erro: OpenSession slot 8: pkcs11: 0x5: CKR_GENERAL_ERROR",
                           "  processando slot 4",
                           "  slot 4 erro: FindObjectsInit: pkcs11: 0x32: CKR_DEVICE_REMOVED",
                           "lib " + p + ": 1 certificados encontrados",
                           "  cert: Holder 0:10000 | taxId: 10000 | issuer: Test CA | valido ate: 2030-01-01T00:00:00Z",
                           "total certificados retornados: 1",
                       }));
    Lines opens;
    for (const auto& line : module.journal())
        if (line.starts_with("C_OpenSession")) opens.push_back(line);
    EXPECT_EQ(opens, (Lines{"C_OpenSession slot=5 flags=0x6 rv=0xE2", "C_OpenSession slot=5 flags=0x4 session=1 rv=0x0",
                            "C_OpenSession slot=8 flags=0x6 rv=0x5", "C_OpenSession slot=8 flags=0x4 rv=0x5",
                            "C_OpenSession slot=4 flags=0x6 session=2 rv=0x0"}));
    expectCleanJournal(module);
}

// Later listings reuse the loaded module, even one whose slot list failed.
TEST_F(ListingTest, ASlotListFailureSkipsTheModuleButKeepsItsContext) {
    ScriptedModule module(at("System32\\eToken.dll"),
                          R"({"slots":[{"id":1}],"failures":[{"call":"C_GetSlotList","nth":2,"rv":"CKR_DEVICE_ERROR"}]})");
    ASSERT_TRUE(listCertificates());
    const std::string& p = module.path();
    auto l = lines();
    EXPECT_EQ(Lines(l.begin() + 2, l.end()), (Lines{"GetSlotList(" + p + ") erro: pkcs11: 0x30: CKR_DEVICE_ERROR",
                                                    "lib " + p + ": erro: GetSlotList: pkcs11: 0x30: CKR_DEVICE_ERROR",
                                                    "total certificados retornados: 0"}));
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(listCertificates());
    EXPECT_EQ(countOf(module.calls(), "C_GetFunctionList"), 1u);
    EXPECT_EQ(countOf(module.calls(), "C_Initialize"), 1u);
    EXPECT_EQ(countOf(module.calls(), "C_Finalize"), 0u);
    EXPECT_EQ(lines().back(), "total certificados retornados: 0");
}

TEST_F(ListingTest, AFailingSearchKeepsWhatItFoundAndSaysNothing) {
    auto certs = makeCerts(20);
    ScriptedModule module(at("System32\\eToken.dll"),
                          oneSlot(certs.objects(), R"(,"failures":[{"call":"C_FindObjects","nth":2}])"));
    auto listed = listCertificates();
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->size(), 16u);
    auto l = lines();
    EXPECT_TRUE(has(l, "  slot 1: 16 certificados"));
    EXPECT_EQ(std::count_if(l.begin(), l.end(), [](const std::string& s) { return s.find("erro") != s.npos; }), 0);
    EXPECT_EQ(countOf(module.calls(), "C_FindObjects"), 2u);
    expectCleanJournal(module);
}

TEST_F(ListingTest, OnlyReadablePublicX509CertificatesAreListed) {
    auto object = [](const Bytes& der, std::string_view extra = "") {
        return R"({"class":"certificate","valueHex":")" + testing::hexText(der) + "\"" + std::string(extra) + "},";
    };
    Bytes good = testing::certificateNamed("Public");
    Bytes trailing = testing::certificateNamed("Trailing");
    trailing.push_back(0);
    TestCertRecipe expiredCa;
    expiredCa.subject = {{"CN", "Old Root CA"}};
    expiredCa.notAfter = "120101000000Z";
    expiredCa.ca = true;
    const std::string objects =
        object(good) + object(buildCertificate(expiredCa)) +
        object(testing::certificateNamed("Private"), R"(,"private":true)") +
        object(testing::certificateNamed("Attr"), R"(,"certificateType":1)") + object({}) +
        R"({"class":"certificate"},)" + object({0x0b, 0xad, 0xc0, 0xde}) + object(trailing) +
        object(good, R"(,"sensitive":["CKA_VALUE"])") +
        R"({"class":"data","valueHex":")" + testing::hexText(good) + R"("})";
    ScriptedModule module(at("System32\\eToken.dll"), oneSlot(objects));
    auto listed = listCertificates();
    ASSERT_TRUE(listed);
    ASSERT_EQ(listed->size(), 2u);
    EXPECT_EQ((*listed)[0].CommonName, "Public");
    EXPECT_EQ((*listed)[1].CommonName, "Old Root CA");
    EXPECT_TRUE(has(lines(), "  slot 1: 2 certificados"));
    EXPECT_EQ(countOf(module.calls(), "C_Login"), 0u);
}

TEST_F(ListingTest, AModuleThatNeverEndsASearchCannotHangTheListing) {
    auto certs = makeCerts(3);
    ScriptedModule repeating(at("System32\\eToken.dll"), oneSlot(certs.objects(), R"(,"endlessSearch":"repeat")"));
    ScriptedModule fresh(at("System32\\cryptoki.dll"), oneSlot("", R"(,"endlessSearch":"fresh")"));
    auto listed = listCertificates();
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->size(), 3u);
    EXPECT_EQ(countOf(repeating.calls(), "C_FindObjects"), 2u);  // the second batch repeats the first
    EXPECT_EQ(countOf(fresh.calls(), "C_FindObjects"), kMaxSearchHandles / 16 + 1);
    expectCleanJournal(repeating);
    expectCleanJournal(fresh);
}

TEST_F(ListingTest, ARequestCarryingAPinStillNeverLogsIn) {
    auto certs = makeCerts(1);
    ScriptedModule module(at("System32\\eToken.dll"),
                          R"({"slots":[{"id":1,"pin":"1234","objects":[)" + certs.objects() + "]}]}");
    testing::MemoryInput in(testing::frameOf(R"({"type":"QUILLON_LIST_CERTS","pin":"1234","extra":[1,2]})"));
    testing::MemoryOutput out;
    serveRequests(in, out);
    auto frames = testing::splitFrames(out.bytes);
    ASSERT_TRUE(frames);
    ASSERT_EQ(frames->size(), 1u);
    EXPECT_TRUE((*frames)[0].starts_with(R"({"type":"QUILLON_LIST_CERTS_RESPONSE","certificates":[{"thumbprint":")" +
                                         thumbprintOf(certs.ders[0]) + R"(","commonName":"Holder 0:10000")"));
    EXPECT_EQ(countOf(module.calls(), "C_Login"), 0u);
    for (const auto& line : log.lines()) EXPECT_EQ(line.find("1234\""), std::string::npos);
}

// Fails each call of the listing path in turn: the reply is always a listing,
// the log always ends with the total, and nothing is left open.
TEST_F(ListingTest, FaultSweepOverEveryCallOfTheListingPath) {
    auto certs = makeCerts(17);
    const std::string config = R"({"slots":[{"id":1,"objects":[)" + certs.objects(0, 9) + R"(]},{"id":2,"objects":[)" +
                               certs.objects(9) + "]}],";
    for (const char* call : {"C_GetFunctionList", "C_Initialize", "C_GetSlotList", "C_OpenSession",
                             "C_FindObjectsInit", "C_FindObjects", "C_GetAttributeValue", "C_FindObjectsFinal",
                             "C_CloseSession"})
        for (int nth : {1, 2, 3, 0})
            for (const char* rv : {"CKR_DEVICE_ERROR", "CKR_BUFFER_TOO_SMALL"}) {
                SCOPED_TRACE(std::string(call) + " #" + std::to_string(nth) + " " + rv);
                CandidateRoots fresh;  // a fresh copy of the module for every run
                ScriptedModule module(joinPath(fresh.systemRoot(), "System32\\eToken.dll"),
                                      config + R"("failures":[{"call":")" + call + R"(","nth":)" +
                                          std::to_string(nth) + R"(,"rv":")" + rv + R"("}]})");
                testing::MemoryOutput out;
                handleListCerts(out);
                auto frames = testing::splitFrames(out.bytes);
                ASSERT_TRUE(frames && frames->size() == 1);
                EXPECT_TRUE((*frames)[0].starts_with(R"({"type":"QUILLON_LIST_CERTS_RESPONSE","certificates":[)"));
                EXPECT_TRUE(lines().back().starts_with("total certificados retornados: "));
                expectCleanJournal(module);
                resetPkcs11Ctx(module.path());
            }
}

}  // namespace
}  // namespace quillon
