// Module calls and the context cache, against the scripted module.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "common/paths.h"
#include "support/token_fixtures.h"
#include "token/pkcs11_context.h"
#include "token/pkcs11_module.h"

namespace quillon {
namespace {

using testing::CandidateRoots;
using testing::CapturedLog;
using testing::ScriptedModule;

// The return value of the first PKCS#11 error along the cause chain.
std::optional<std::uint32_t> pkcs11RvOf(const Error& e) {
    if (const Error* p = findKind(e, ErrorKind::Pkcs11)) return p->code;
    return std::nullopt;
}

std::size_t countOf(const std::vector<std::string>& calls, std::string_view name) {
    return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), name));
}

TEST(Pkcs11Errors, NameEveryV220ReturnValueAndTheTwoOtpOnes) {
    EXPECT_EQ(pkcs11Error(0xA0).text, "pkcs11: 0xA0: CKR_PIN_INCORRECT");
    EXPECT_EQ(pkcs11Error(0xA0).kind, ErrorKind::Pkcs11);
    EXPECT_EQ(pkcs11Error(0xA0).code, 0xA0u);
    EXPECT_EQ(pkcs11Error(0x1B0).text, "pkcs11: 0x1B0: CKR_NEW_PIN_MODE");
    EXPECT_EQ(pkcs11Error(0x1B1).text, "pkcs11: 0x1B1: CKR_NEXT_OTP");
    EXPECT_EQ(pkcs11Error(0x80000000).text, "pkcs11: 0x80000000: CKR_VENDOR_DEFINED");
    EXPECT_EQ(pkcs11Error(0x80000001).text, "pkcs11: 0x80000001: ");
    EXPECT_EQ(pkcs11Error(0x4).text, "pkcs11: 0x4: ");
    EXPECT_EQ(pkcs11Error(0x2A).text, "pkcs11: 0x2A: ");

    // 86 names of v2.20, CKR_OK among them, plus CKR_NEW_PIN_MODE and CKR_NEXT_OTP.
    std::size_t named = ckrName(0x80000000).empty() ? 0 : 1;
    for (CK_RV rv = 0; rv < 0x1000; ++rv) named += ckrName(rv).empty() ? 0 : 1;
    EXPECT_EQ(named, 88u);
    EXPECT_EQ(ckrName(0x200), "CKR_FUNCTION_REJECTED");
}

class ContextCache : public ::testing::Test {
protected:
    CandidateRoots roots;
    std::string at(std::string_view relative) const { return joinPath(roots.systemRoot(), relative); }
};

TEST_F(ContextCache, LoadsAndInitialisesOncePerPathUntilReset) {
    ScriptedModule module(at("System32\\eToken.dll"), R"({"slots":[]})");
    CapturedLog log;
    auto first = getPkcs11Ctx(module.path());
    ASSERT_TRUE(first) << first.error().text;
    auto second = getPkcs11Ctx(module.path());
    ASSERT_TRUE(second);
    EXPECT_EQ(*first, *second);
    EXPECT_EQ(module.journal(), (std::vector<std::string>{"C_GetFunctionList rv=0x0",
                                                          "C_Initialize flags=0x2 mutexes=0 rv=0x0"}));

    resetPkcs11Ctx(module.path());
    EXPECT_EQ(log.lines().back(), "contexto PKCS#11 resetado: " + module.path());
    auto again = getPkcs11Ctx(module.path());
    ASSERT_TRUE(again);
    EXPECT_EQ(module.calls(), (std::vector<std::string>{"C_GetFunctionList", "C_Initialize", "C_Finalize",
                                                        "C_GetFunctionList", "C_Initialize"}));
    resetPkcs11Ctx(module.path());
    const auto linesBefore = log.lines().size();
    resetPkcs11Ctx(module.path());  // not cached any more: nothing happens
    resetPkcs11Ctx(at("System32\\never-loaded.dll"));
    EXPECT_EQ(log.lines().size(), linesBefore);
}

TEST_F(ContextCache, FailuresAreNotCachedAndKeepTheirCause) {
    ScriptedModule module(at("System32\\eToken.dll"),
                          R"({"failures":[{"call":"C_Initialize","nth":1,"rv":"CKR_FUNCTION_FAILED"}]})");
    auto failed = getPkcs11Ctx(module.path());
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().text, "Initialize(" + module.path() + "): pkcs11: 0x6: CKR_FUNCTION_FAILED");
    ASSERT_TRUE(failed.error().cause);
    EXPECT_EQ(failed.error().cause->text, "pkcs11: 0x6: CKR_FUNCTION_FAILED");
    EXPECT_EQ(countOf(module.calls(), "C_Finalize"), 0u);

    auto retried = getPkcs11Ctx(module.path());
    ASSERT_TRUE(retried) << retried.error().text;
    EXPECT_EQ(countOf(module.calls(), "C_Initialize"), 2u);
    resetPkcs11Ctx(module.path());
}

TEST_F(ContextCache, ASecondPathToTheSameModuleMeetsAlreadyInitialized) {
    ScriptedModule module(at("System32\\cryptoki.dll"), R"({})");
#ifdef _WIN32
    std::string other = at("SYSTEM32\\CRYPTOKI.DLL");  // same file, another text
#else
    std::string other = at("System32\\pkcs11.dll");
    std::filesystem::create_symlink(testing::hostFilesystemPath(module.path()), testing::hostFilesystemPath(other));
#endif
    ASSERT_TRUE(getPkcs11Ctx(module.path()));
    auto second = getPkcs11Ctx(other);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().text, "Initialize(" + other + "): pkcs11: 0x191: CKR_CRYPTOKI_ALREADY_INITIALIZED");
    EXPECT_EQ(pkcs11RvOf(second.error()), 0x191u);
    resetPkcs11Ctx(module.path());
}

TEST_F(ContextCache, AFailedFinalizeLeavesThePathFailingUntilTheEnd) {
    ScriptedModule module(at("System32\\eToken.dll"), R"({"failures":[{"call":"C_Finalize"}]})");
    ASSERT_TRUE(getPkcs11Ctx(module.path()));
    resetPkcs11Ctx(module.path());
    for (int i = 0; i < 2; ++i) {
        auto ctx = getPkcs11Ctx(module.path());
        ASSERT_FALSE(ctx);
        EXPECT_EQ(pkcs11RvOf(ctx.error()), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    }
}

// Rewrites the header of a copied library so that it claims another
// architecture, as a 32-bit module does to this 64-bit process.
void makeForeignArchitecture(const std::string& path) {
    std::fstream f(testing::hostFilesystemPath(path), std::ios::in | std::ios::out | std::ios::binary);
#ifdef _WIN32
    char offset[4];
    f.seekg(0x3C);
    f.read(offset, 4);
    std::uint32_t pe = static_cast<std::uint8_t>(offset[0]) | static_cast<std::uint8_t>(offset[1]) << 8 |
                       static_cast<std::uint8_t>(offset[2]) << 16 | static_cast<std::uint32_t>(static_cast<std::uint8_t>(offset[3])) << 24;
    f.seekp(pe + 4);
    f.write("\x4c\x01", 2);  // IMAGE_FILE_MACHINE_I386
#else
    f.seekp(4);
    f.write("\x01", 1);  // ELFCLASS32
#endif
}

TEST_F(ContextCache, ModulesThatCannotBeLoadedFailEveryTimeWithTheirPath) {
    std::string foreign = at("SysWOW64\\aetpkss1.dll");
    testing::copyFileTo(testing::scriptedModuleLibrary(), foreign);
    makeForeignArchitecture(foreign);
    std::string text = at("System32\\swpkcs11.dll");
    std::filesystem::create_directories(testing::hostFilesystemPath(text).parent_path());
    std::ofstream(testing::hostFilesystemPath(text)) << "not a library";
    ScriptedModule refusing(at("System32\\sscm.dll"), R"({"failures":[{"call":"C_GetFunctionList"}]})");

    for (const std::string& path : {foreign, text, refusing.path(), at("System32\\absent.dll")})
        for (int attempt = 0; attempt < 2; ++attempt) {
            auto ctx = getPkcs11Ctx(path);
            ASSERT_FALSE(ctx) << path;
            EXPECT_EQ(ctx.error().text, "falha ao carregar: " + path);
        }
    EXPECT_EQ(countOf(refusing.calls(), "C_GetFunctionList"), 2u);
}

}  // namespace
}  // namespace quillon
