// Path joining and normalisation, and the candidate module list under every
// state of the three base variables.
#include <gtest/gtest.h>

#include "common/paths.h"
#include "support/token_fixtures.h"
#include "token/module_list.h"

namespace quillon {
namespace {

using testing::ScopedEnv;

TEST(Paths, JoinPutsOneBackslashUnlessTheBaseEndsInASeparatorOrColon) {
    EXPECT_EQ(joinPath("C:\\Windows", "System32\\eToken.dll"), "C:\\Windows\\System32\\eToken.dll");
    EXPECT_EQ(joinPath("C:\\Windows\\", "System32\\eToken.dll"), "C:\\Windows\\System32\\eToken.dll");
    EXPECT_EQ(joinPath("C:/Windows/", "System32\\eToken.dll"), "C:\\Windows\\System32\\eToken.dll");
    EXPECT_EQ(joinPath("D:", "System32\\eToken.dll"), "D:System32\\eToken.dll");  // relative to D:'s folder
    EXPECT_EQ(joinPath("D:\\", "x.dll"), "D:\\x.dll");
    EXPECT_EQ(joinPathElements({"C:\\Users\\Ana", "", "AppData\\Local", "Quillon"}),
              "C:\\Users\\Ana\\AppData\\Local\\Quillon");
}

TEST(Paths, NormalisationIsLexicalAndKeepsCase) {
    EXPECT_EQ(normalizePath("C:/A//b\\\\c"), "C:\\A\\b\\c");
    EXPECT_EQ(normalizePath("C:\\a\\.\\b\\..\\c"), "C:\\a\\c");
    EXPECT_EQ(normalizePath("C:\\..\\..\\x"), "C:\\x");  // ".." at the root is dropped
    EXPECT_EQ(normalizePath("C:\\a\\b\\"), "C:\\a\\b");
    EXPECT_EQ(normalizePath("C:\\"), "C:\\");
    EXPECT_EQ(normalizePath("C:/"), "C:\\");
    EXPECT_EQ(normalizePath("\\\\server\\share\\\\dir\\..\\x.dll"), "\\\\server\\share\\x.dll");
    EXPECT_EQ(normalizePath("//server/share/x"), "\\\\server\\share\\x");
    EXPECT_EQ(normalizePath("a\\..\\..\\b"), "..\\b");  // a relative path keeps what it cannot resolve
    EXPECT_EQ(normalizePath("Program Files (x86)\\."), "Program Files (x86)");
    EXPECT_EQ(normalizePath("C:\\WINDOWS\\system32"), "C:\\WINDOWS\\system32");
}

struct BaseVariables {
    ScopedEnv system, programFiles, programFilesX86;
    BaseVariables(std::optional<std::string> s, std::optional<std::string> p, std::optional<std::string> x)
        : system("SystemRoot", s), programFiles("ProgramFiles", p), programFilesX86("ProgramFiles(x86)", x) {}
};

TEST(CandidateList, HasThe39EntriesInTableOrderWithDefaultBases) {
    BaseVariables unset(std::nullopt, std::nullopt, std::nullopt);
    auto paths = candidateModulePaths();
    ASSERT_EQ(paths.size(), 39u);
    EXPECT_EQ(paths[0], "C:\\Windows\\System32\\eToken.dll");
    EXPECT_EQ(paths[1], "C:\\Program Files\\SafeNet\\Authentication\\SAC\\x64\\eToken.dll");
    EXPECT_EQ(paths[2], "C:\\Program Files (x86)\\SafeNet\\Authentication\\SAC\\x86\\eToken.dll");
    EXPECT_EQ(paths[11], "C:\\Windows\\SysWOW64\\WD-ePass2003Auto.dll");
    EXPECT_EQ(paths[26], "C:\\Program Files\\Certisign Certificadora Digital\\Certisign Token\\CertisignPKCS11.dll");
    EXPECT_EQ(paths[33], "C:\\Program Files\\Giesecke & Devrient GmbH\\StarSign Crypto USB Token\\sscm.dll");
    EXPECT_EQ(paths[37], "C:\\Windows\\System32\\pkcs11.dll");
    EXPECT_EQ(paths[38], "C:\\Program Files\\OpenSC Project\\OpenSC\\pkcs11\\opensc-pkcs11.dll");

    // The base of each entry, as the table gives it.
    const std::string bases = "SPXPPPPSPSSSSSSPXSPPXPSPSPPSSPXPXPXSSSP";
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const char* expected = bases[i] == 'S' ? "C:\\Windows\\" : bases[i] == 'P' ? "C:\\Program Files\\"
                                                                                    : "C:\\Program Files (x86)\\";
        EXPECT_TRUE(paths[i].starts_with(expected)) << i << ": " << paths[i];
    }
}

TEST(CandidateList, EmptyVariablesCountAsUnsetAndOthersAreUsedAsTheyStand) {
    BaseVariables unset(std::nullopt, std::nullopt, std::nullopt);
    const auto defaults = candidateModulePaths();
    {
        BaseVariables empty("", "", "");
        EXPECT_EQ(candidateModulePaths(), defaults);
    }
    BaseVariables custom("D:/WinNT/", "E:", " F:\\Apps");
    auto paths = candidateModulePaths();
    EXPECT_EQ(paths[0], "D:\\WinNT\\System32\\eToken.dll");
    EXPECT_EQ(paths[1], "E:SafeNet\\Authentication\\SAC\\x64\\eToken.dll");
    EXPECT_EQ(paths[2], " F:\\Apps\\SafeNet\\Authentication\\SAC\\x86\\eToken.dll");  // no trimming
}

TEST(CandidateList, KeepsExistingFilesAndFoldersInTableOrderWithDuplicates) {
    testing::CandidateRoots roots;
    ScopedEnv sameX86("ProgramFiles(x86)", roots.programFiles());
    EXPECT_TRUE(findPkcs11Libraries().empty());
    // Installed in reverse table order; a folder stands at entry 1.
    const std::string dummy = testing::scriptedModuleLibrary();
    std::string opensc = roots.place(roots.programFiles(), "OpenSC Project\\OpenSC\\pkcs11\\opensc-pkcs11.dll", dummy);
    EXPECT_EQ(findPkcs11Libraries(), std::vector<std::string>{opensc});
    std::string feitian = roots.place(roots.programFiles(), "Feitian Technologies\\ePass2003\\ePass2003.dll", dummy);
    std::string etokenFolder = joinPath(roots.systemRoot(), "System32\\eToken.dll");
    testing::copyFileTo(dummy, joinPath(etokenFolder, "inside.bin"));
    EXPECT_EQ(findPkcs11Libraries(), (std::vector<std::string>{etokenFolder, feitian, feitian, opensc}));

    EXPECT_EQ(existingPaths({opensc, "C:\\nowhere\\x.dll", opensc, ""}), (std::vector<std::string>{opensc, opensc}));
}

}  // namespace
}  // namespace quillon
