#include "log/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <vector>

#include "platform/fs.h"
#include "support/temp_folder.h"

namespace quillon {
namespace {

using testing::fileText;
using testing::inFolder;
using testing::ScratchFolder;

// The message parts of "[YYYY-MM-DD hh:mm:ss] message" lines; a line without
// that stamp or without its line feed comes back whole with a "BAD: " mark.
std::vector<std::string> messagesOf(const std::string& text) {
    static const std::regex stamped(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] (.*))");
    std::vector<std::string> out;
    for (std::size_t start = 0, end = 0; end != std::string::npos && start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        std::string line = text.substr(start, end - start);
        std::smatch m;
        bool ok = end != std::string::npos && std::regex_match(line, m, stamped);
        out.push_back(ok ? m[1].str() : "BAD: " + line);
    }
    return out;
}

class LogFile : public ::testing::Test {
protected:
    void TearDown() override { closeLog(); }
    ScratchFolder scratch_{"log"};
    std::string folder_ = scratch_.path();
    std::string path_ = scratch_.file("quillon-agent.log");
};

TEST(LogLineText, ZeroPadsEveryFieldOnA24HourClock) {
    EXPECT_EQ(logLineText(2027, 1, 2, 9, 5, 3, "msg"), "[2027-01-02 09:05:03] msg\n");
    EXPECT_EQ(logLineText(2026, 12, 31, 23, 59, 59, ""), "[2026-12-31 23:59:59] \n");
}

TEST(LogLineText, EscapesOnlyControlBytes) {
    const struct {
        std::string_view in, out;
    } cases[] = {
        {"C:\\Program Files (x86)\\a b\\c.dll", "C:\\Program Files (x86)\\a b\\c.dll"},  // paths keep their look
        {"ação ✓ ~", "ação ✓ ~"},                                                   // UTF-8 and 0x7E as they are
        {"a\r\nb", "a\\x0D\\x0Ab"},
        {std::string_view("\0\x01\x1B[31m\x1F\x7F", 9), "\\x00\\x01\\x1B[31m\\x1F\\x7F"},
        // A path element starting with "x" is written as it stands.
        {"C:\\Program Files\\SafeNet\\Authentication\\SAC\\x64\\eToken.dll",
         "C:\\Program Files\\SafeNet\\Authentication\\SAC\\x64\\eToken.dll"},
        {"\\x0D", "\\x0D"},
        {"\\X \\\\ \\", "\\X \\\\ \\"},
    };
    for (const auto& c : cases) EXPECT_EQ(escapeLogText(c.in), c.out) << c.in;
    EXPECT_EQ(logLineText(2027, 1, 2, 9, 5, 3, "a\nb\tc"), "[2027-01-02 09:05:03] a\\x0Ab\\x09c\n");
}

TEST_F(LogFile, FirstLineNamesTheVersionThenLinesCarryTheirPlaceholders) {
    initLogAt(path_);
    ASSERT_TRUE(logIsOpen());
    logf("LIST_CERTS erro: %v", newError("nenhuma biblioteca"));
    logf("slot %d de %s: %v %v", 3, "lib.dll", std::vector<std::string>{"a", "b"}, std::vector<std::string>{});
    logf("linha\ndupla");
    closeLog();

    // A message's own line break is escaped: one message, one line.
    EXPECT_EQ(messagesOf(fileText(path_)),
              (std::vector<std::string>{"=== agente iniciado (v1.1.2) ===", "LIST_CERTS erro: nenhuma biblioteca",
                                        "slot 3 de lib.dll: [a b] []", "linha\\x0Adupla"}));
}

TEST_F(LogFile, AppendsAfterEarlierRunsAndWritesNothingOnceClosed) {
    ASSERT_TRUE(platform::replaceWholeFile(path_, asBytes("earlier run\n"), 0644).has_value());
    initLogAt(path_);
    closeLog();
    logf("after close %s", "x");
    EXPECT_FALSE(logIsOpen());

    std::string text = fileText(path_);
    ASSERT_EQ(text.rfind("earlier run\n[", 0), 0u) << text;
    EXPECT_EQ(messagesOf(text.substr(12)), std::vector<std::string>{"=== agente iniciado (v1.1.2) ==="});
}

TEST_F(LogFile, UnopenableLogLeavesLoggingSilentlyOff) {
    initLogAt(inFolder(inFolder(folder_, "missing-folder"), "quillon-agent.log"));
    EXPECT_FALSE(logIsOpen());
    logf("ignored %d", 1);  // must not crash or create anything
    EXPECT_FALSE(platform::pathExists(inFolder(folder_, "missing-folder")));
}

TEST(LogFilePath, IsTheTemporaryFolderJoinedWithTheLogName) {
    std::string dir = platform::tempDirectory();
    ASSERT_FALSE(dir.empty());
    std::string path = logFilePath();
    EXPECT_EQ(path.substr(0, dir.size()), dir);
    EXPECT_EQ(path.substr(path.size() - 18), "\\quillon-agent.log");
    EXPECT_EQ(path.size(), dir.size() + 18) << "exactly one separator between folder and name";
}

}  // namespace
}  // namespace quillon
