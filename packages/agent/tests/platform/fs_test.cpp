#include "platform/fs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#endif

#include "support/temp_folder.h"
#include "support/token_fixtures.h"

namespace quillon {
namespace {

using testing::inFolder;
using testing::ScratchFolder;

TEST(PlatformFs, CreatesNestedFoldersAndAcceptsExistingOnes) {
    ScratchFolder scratch("fs");
    const std::string& root = scratch.path();
    std::string deep = inFolder(inFolder(inFolder(root, "a"), "b"), "c");
    ASSERT_TRUE(platform::createDirectories(deep).has_value());
    EXPECT_TRUE(platform::pathExists(deep));
    EXPECT_TRUE(platform::createDirectories(deep).has_value());
    EXPECT_TRUE(platform::createDirectories(deep + "\\").has_value());

    // A file standing where a folder should go is an error naming the step and path.
    std::string file = inFolder(root, "file");
    ASSERT_TRUE(platform::replaceWholeFile(file, asBytes("x"), 0644).has_value());
    auto blocked = platform::createDirectories(inFolder(file, "sub"));
    ASSERT_FALSE(blocked.has_value());
    EXPECT_NE(blocked.error().text.find(file), std::string::npos) << blocked.error().text;
}

// The missing levels are made by a loop, not by a call per level: a path
// thousands of levels deep below a file fails as a shallow one does, naming
// the file, instead of running out of stack on the way up.
TEST(PlatformFs, APathThousandsOfLevelsDeepFailsAsAShallowOneDoes) {
    ScratchFolder scratch("fs");
    const std::string file = scratch.file("file");
    ASSERT_TRUE(platform::replaceWholeFile(file, asBytes("x"), 0644).has_value());
    std::string deep = file;
    for (int level = 0; level < 6000; ++level) deep += "\\a";
    ASSERT_GT(deep.size(), 12000u);
    auto shallow = platform::createDirectories(inFolder(file, "a"));
    auto blocked = platform::createDirectories(deep);
    ASSERT_FALSE(shallow.has_value());
    ASSERT_FALSE(blocked.has_value());
    EXPECT_EQ(blocked.error().text, shallow.error().text);
    EXPECT_EQ(blocked.error().text.rfind("mkdir " + file + ": ", 0), 0u) << blocked.error().text;
}

TEST(PlatformFs, WholeFileWritesTruncateAndReadBackExactly) {
    ScratchFolder scratch("fs");
    std::string path = scratch.file("data.bin");
    std::string binary("a\r\nb\0c\n\xFF", 8);
    ASSERT_TRUE(platform::replaceWholeFile(path, asBytes("a much longer earlier content"), 0644).has_value());
    ASSERT_TRUE(platform::replaceWholeFile(path, asBytes(binary), 0644).has_value());
    auto back = platform::readWholeFile(path);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(std::string(back->begin(), back->end()), binary);

    ASSERT_TRUE(platform::removeFile(path).has_value());
    EXPECT_FALSE(platform::pathExists(path));
}

// The names in a folder, sorted.
std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(testing::hostFilesystemPath(folder)))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

int thisProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return ::getpid();
#endif
}

TEST(PlatformFs, AReplacementPutsTheWholeFileInPlaceAndLeavesNothingElse) {
    ScratchFolder scratch("fs");
    const std::string path = scratch.file("quillon-agent.exe");
    ASSERT_TRUE(platform::replaceWholeFile(path, asBytes("first"), 0755).has_value());
    EXPECT_EQ(testing::fileText(path), "first");
    ASSERT_TRUE(platform::replaceWholeFile(path, asBytes("a much longer earlier content"), 0755).has_value());
    ASSERT_TRUE(platform::replaceWholeFile(path, asBytes("newer"), 0755).has_value());
    EXPECT_EQ(testing::fileText(path), "newer");
    EXPECT_EQ(namesIn(scratch.path()), std::vector<std::string>{"quillon-agent.exe"});

    // A temporary left by an ended process of this one's id is no obstacle.
    const std::string stale = path + ".new-" + std::to_string(thisProcessId());
    ASSERT_TRUE(platform::replaceWholeFile(stale, asBytes("half a copy"), 0644).has_value());
    auto replaced = platform::replaceWholeFile(path, asBytes("newest"), 0755);
    ASSERT_TRUE(replaced.has_value()) << replaced.error().text;
    EXPECT_EQ(testing::fileText(path), "newest");
    EXPECT_EQ(namesIn(scratch.path()), std::vector<std::string>{"quillon-agent.exe"});
}

// What stands at the path and cannot be written is refused before anything
// is written, with the error of opening it.
TEST(PlatformFs, AReplacementOfWhatCannotBeOpenedForWritingWritesNothing) {
    ScratchFolder scratch("fs");
    const std::string folder = scratch.file("quillon-agent.exe");
    ASSERT_TRUE(platform::createDirectories(folder).has_value());
    auto refused = platform::replaceWholeFile(folder, asBytes("program"), 0755);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().text.rfind("open " + folder + ": ", 0), 0u) << refused.error().text;
    EXPECT_EQ(namesIn(scratch.path()), std::vector<std::string>{"quillon-agent.exe"});
    EXPECT_TRUE(platform::isPlainFolder(folder));

    const std::string missing = inFolder(scratch.file("missing"), "quillon-agent.exe");
    auto nowhere = platform::replaceWholeFile(missing, asBytes("program"), 0755);
    ASSERT_FALSE(nowhere.has_value());
    EXPECT_EQ(nowhere.error().text.rfind("open " + missing + ": ", 0), 0u) << nowhere.error().text;
}

#ifndef _WIN32
// A write that stops part-way (here at the file-size limit, as on a full
// disk) leaves the old file whole and takes its partial copy away. The
// Windows exe meets the same under Wine in the installer's process tests.
TEST(PlatformFs, AReplacementCutShortLeavesTheOldFileAndNoPartialCopy) {
    ScratchFolder scratch("fs");
    const std::string path = scratch.file("quillon-agent.exe");
    const std::string old(4096, 'o'), larger(64 * 1024, 'n');
    ASSERT_TRUE(platform::replaceWholeFile(path, asBytes(old), 0755).has_value());

    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = 16 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    auto cut = platform::replaceWholeFile(path, asBytes(larger), 0755);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    ASSERT_FALSE(cut.has_value());
    EXPECT_EQ(cut.error().text, "write " + path + ": " + std::strerror(EFBIG));
    EXPECT_TRUE(testing::fileText(path) == old) << "the old file, whole";
    EXPECT_EQ(namesIn(scratch.path()), std::vector<std::string>{"quillon-agent.exe"});
}
#endif

TEST(PlatformFs, ARenameNeverReplacesAnEntryOfTheNewName) {
    ScratchFolder scratch("fs");
    const std::string from = scratch.file("a.exe"), to = scratch.file("a.exe.uninstalled-1");
    ASSERT_TRUE(platform::replaceWholeFile(from, asBytes("program"), 0755).has_value());
    ASSERT_TRUE(platform::renameNoReplace(from, to).has_value());
    EXPECT_FALSE(platform::pathExists(from));
    EXPECT_EQ(testing::fileText(to), "program");

    ASSERT_TRUE(platform::replaceWholeFile(from, asBytes("newer"), 0755).has_value());
    auto refused = platform::renameNoReplace(from, to);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().text.rfind("rename " + from + ": ", 0), 0u) << refused.error().text;
    EXPECT_EQ(testing::fileText(from), "newer");
    EXPECT_EQ(testing::fileText(to), "program");

    const std::string folder = scratch.file("folder");
    ASSERT_TRUE(platform::createDirectories(folder).has_value());
    EXPECT_FALSE(platform::renameNoReplace(from, folder).has_value());
    EXPECT_FALSE(platform::renameNoReplace(scratch.file("missing"), scratch.file("other")).has_value());
    EXPECT_FALSE(platform::pathExists(scratch.file("other")));
}

TEST(PlatformFs, FailuresNameTheOperationAndThePath) {
    ScratchFolder scratch("fs");
    std::string missing = scratch.file("missing.txt");
    auto read = platform::readWholeFile(missing);
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error().text.rfind("open " + missing + ": ", 0), 0u) << read.error().text;
    EXPECT_GT(read.error().text.size(), ("open " + missing + ": ").size()) << "the system's message follows";

    auto removed = platform::removeFile(missing);
    ASSERT_FALSE(removed.has_value());
    EXPECT_EQ(removed.error().text.rfind("remove " + missing + ": ", 0), 0u) << removed.error().text;
}

TEST(PlatformFs, PathsHoldingANulAreRefusedNotCutShort) {
    ScratchFolder scratch("fs");
    std::string cut = scratch.file("cut");
    std::string withNul = cut + std::string(1, '\0') + "rest";
    EXPECT_FALSE(platform::replaceWholeFile(withNul, asBytes("x"), 0644).has_value());
    EXPECT_FALSE(platform::openAppendShared(withNul).has_value());
    EXPECT_FALSE(platform::createDirectories(withNul).has_value());
    EXPECT_FALSE(platform::pathExists(cut)) << "nothing may be made at the part before the NUL";
    ASSERT_TRUE(platform::replaceWholeFile(cut, asBytes("x"), 0644).has_value());
    EXPECT_FALSE(platform::pathExists(withNul));
    EXPECT_FALSE(platform::readWholeFile(withNul).has_value());
    EXPECT_FALSE(platform::removeFile(withNul).has_value());
    EXPECT_TRUE(platform::pathExists(cut));
}

TEST(PlatformFs, OnlyARegularFileOrFolderItselfCountsAsAPlainOne) {
    ScratchFolder scratch("fs");
    const std::string file = scratch.file("file.exe"), folder = scratch.file("folder.exe");
    ASSERT_TRUE(platform::replaceWholeFile(file, asBytes("x"), 0644).has_value());
    ASSERT_TRUE(platform::createDirectories(folder).has_value());
    EXPECT_TRUE(platform::isPlainFile(file));
    EXPECT_FALSE(platform::isPlainFile(folder));
    EXPECT_FALSE(platform::isPlainFile(scratch.file("missing.exe")));
    EXPECT_FALSE(platform::isPlainFile(file + std::string(1, '\0')));
    EXPECT_TRUE(platform::isPlainFolder(folder));
    EXPECT_FALSE(platform::isPlainFolder(file));
    EXPECT_FALSE(platform::isPlainFolder(scratch.file("missing")));
    EXPECT_FALSE(platform::isPlainFolder(folder + std::string(1, '\0')));
#ifndef _WIN32
    // A link is not followed, whether to a file or to a folder.
    for (const std::string& target : {file, folder}) {
        const std::string link = target + ".link";
        std::filesystem::create_symlink(testing::hostFilesystemPath(target), testing::hostFilesystemPath(link));
        EXPECT_FALSE(platform::isPlainFile(link)) << link;
        EXPECT_FALSE(platform::isPlainFolder(link)) << link;
    }
#endif
}

TEST(PlatformFs, ARelativePathIsMadeFullAgainstTheCurrentFolderAndAFullOneOnlyNormalised) {
    const std::filesystem::path here = std::filesystem::current_path();
    auto full = platform::absolutePath("AppData\\Local\\.\\x\\..\\Quillon");
    ASSERT_TRUE(full.has_value()) << full.error().text;
    EXPECT_EQ(testing::hostFilesystemPath(*full), here / "AppData" / "Local" / "Quillon") << *full;

    ScratchFolder scratch("fs");
    auto same = platform::absolutePath(scratch.path() + "\\a\\..\\b");
    ASSERT_TRUE(same.has_value()) << same.error().text;
    EXPECT_EQ(testing::hostFilesystemPath(*same), testing::hostFilesystemPath(scratch.file("b"))) << *same;

    EXPECT_FALSE(platform::absolutePath(std::string("a\0b", 3)).has_value());
}

TEST(PlatformFs, PathsCompareWithLetterCaseAside) {
    EXPECT_TRUE(platform::samePathIgnoringCase("C:\\Users\\Ana\\Quillon\\quillon-agent.exe",
                                               "c:\\users\\ANA\\quillon\\QUILLON-AGENT.EXE"));
    EXPECT_FALSE(platform::samePathIgnoringCase("C:\\Users\\Ana\\a.exe", "C:\\Users\\Ana\\b.exe"));
    EXPECT_FALSE(platform::samePathIgnoringCase("C:\\Users\\Ana\\a.exe", "C:\\Users\\Ana\\a.exe2"));
    EXPECT_FALSE(platform::samePathIgnoringCase("C:\\a[", "C:\\A{"));  // not folded by bit 0x20 alone
#ifdef _WIN32
    EXPECT_TRUE(platform::samePathIgnoringCase("C:\\Usuários\\João", "C:\\USUÁRIOS\\JOÃO"));
#endif
}

TEST(PlatformFs, AnAppendFileCanBeRemovedWhileItIsOpen) {
    // A user deletes the log while a host still writes to it.
    ScratchFolder scratch("fs");
    std::string path = scratch.file("quillon-agent.log");
    auto log = platform::openAppendShared(path);
    ASSERT_TRUE(log.has_value()) << log.error().text;
    (*log)->write("before\n");
    auto removed = platform::removeFile(path);
    ASSERT_TRUE(removed.has_value()) << removed.error().text;
    (*log)->write("after\n");  // lands nowhere, harmlessly
    log->reset();
    EXPECT_FALSE(platform::pathExists(path));

    auto fresh = platform::openAppendShared(path);
    ASSERT_TRUE(fresh.has_value()) << fresh.error().text;
    (*fresh)->write("new\n");
    fresh->reset();
    EXPECT_EQ(testing::fileText(path), "new\n");
}

TEST(PlatformFs, TemporaryFolderDropsItsTrailingSeparatorExceptAtADriveRoot) {
    using Case = std::pair<std::optional<std::string>, std::string>;  // variable's value, folder
#ifdef _WIN32
    const char* variable = "TMP";
    Case cases[] = {{"C:\\quillon-tmp-test\\", "C:\\quillon-tmp-test"}, {"C:\\", "C:\\"}};
#else
    const char* variable = "TMPDIR";
    Case cases[] = {{"/var/tmp/quillon/", "/var/tmp/quillon"}, {std::nullopt, "/tmp"}, {"", "/tmp"}};
#endif
    for (const auto& [value, folder] : cases) {
        testing::ScopedEnv env(variable, value);
        EXPECT_EQ(platform::tempDirectory(), folder) << value.value_or("<unset>");
    }
}

}  // namespace
}  // namespace quillon
