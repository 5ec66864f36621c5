#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer/install_layout.h"
#include "installer/installer.h"
#include "installer/installer_console.h"
#include "installer/native_manifest.h"
#include "platform/process.h"
#include "support/removal_command.h"

namespace quillon {
namespace {

// The companion extension the build names (-DQUILLON_EXTENSION_ID), else the placeholder.
#define QUILLON_TEXT_OF(x) #x
#define QUILLON_EXPANDED_TEXT_OF(x) QUILLON_TEXT_OF(x)
constexpr std::string_view kBuiltExtensionId = QUILLON_EXPANDED_TEXT_OF(QUILLON_EXTENSION_ID);
constexpr std::string_view kExtensionId =
    kBuiltExtensionId.empty() ? std::string_view("kembcdlbgbcnnchcnbdhbmbhbejnedjf") : kBuiltExtensionId;

TEST(InstallerArguments, MatchWholeWordsWithLetterCaseInAnyOrder) {
    using Args = std::vector<std::string>;
    auto scan = [](const Args& args) {
        const InstallerRequest r = scanInstallerArguments(args);
        return std::pair{r.uninstall, r.silent};
    };
    EXPECT_EQ(scan({}), std::pair(false, false));
    EXPECT_EQ(scan({"--silent"}), std::pair(false, true));
    EXPECT_EQ(scan({"/S"}), std::pair(false, true));
    EXPECT_EQ(scan({"/quiet"}), std::pair(false, true));
    EXPECT_EQ(scan({"--uninstall"}), std::pair(true, false));
    EXPECT_EQ(scan({"--uninstall", "/S", "--uninstall"}), std::pair(true, true));
    EXPECT_EQ(scan({"foo", "--uninstall", "bar"}), std::pair(true, false));
    // Other letter case, prefixes, suffixes and glued words select nothing.
    EXPECT_EQ(scan({"/s", "/Quiet", "--SILENT", "--Uninstall", "-uninstall", "--uninstall ",
                    "--uninstall=1", "/S/quiet"}),
              std::pair(false, false));
}

TEST(InstallLayout, BuiltFromLocalAppDataElseTheUserProfile) {
    auto local = installLayoutFor("C:\\Users\\u\\AppData\\Local", "C:\\Users\\other");
    EXPECT_EQ(local.installDir, "C:\\Users\\u\\AppData\\Local\\Quillon");
    EXPECT_EQ(local.targetExe, "C:\\Users\\u\\AppData\\Local\\Quillon\\quillon-agent.exe");
    EXPECT_EQ(local.manifestPath, "C:\\Users\\u\\AppData\\Local\\Quillon\\br.quillon.agent.json");

    // Normalised like the module paths; an empty variable counts as unset.
    EXPECT_EQ(installLayoutFor("C:/Users/u/AppData/Local/", std::nullopt).installDir, local.installDir);
    EXPECT_EQ(installLayoutFor("", "C:\\Users\\u").installDir, local.installDir);
    EXPECT_EQ(installLayoutFor(std::nullopt, "C:\\Users\\u").installDir, local.installDir);
    EXPECT_EQ(installLayoutFor(std::nullopt, std::nullopt).installDir, "AppData\\Local\\Quillon");
    EXPECT_EQ(installLayoutFor("", "").targetExe, "AppData\\Local\\Quillon\\quillon-agent.exe");

    // Where an uninstall moves the program aside: names no install uses.
    EXPECT_EQ(uninstalledCopyPath(local.installDir, 1),
              "C:\\Users\\u\\AppData\\Local\\Quillon\\quillon-agent.exe.uninstalled-1");
    EXPECT_EQ(uninstalledCopyPath(local.installDir, kUninstalledCopySlots),
              "C:\\Users\\u\\AppData\\Local\\Quillon\\quillon-agent.exe.uninstalled-16");
}

TEST(NativeManifest, LaidOutByteForByteWithEscapedPath) {
    const std::string origin = "chrome-extension://" + std::string(kExtensionId) + "/";
    EXPECT_EQ(nativeManifestText("C:\\Users\\A & B <x>\\Quillon\\quillon-agent.exe"),
              "{\n"
              "  \"name\": \"br.quillon.agent\",\n"
              "  \"description\": \"Quillon Native Messaging Host \u2014 acesso a certificados A3/token\",\n"
              "  \"path\": \"C:\\\\Users\\\\A \\u0026 B \\u003cx\\u003e\\\\Quillon\\\\quillon-agent.exe\",\n"
              "  \"type\": \"stdio\",\n"
              "  \"allowed_origins\": [\n"
              "    \"" + origin + "\"\n"
              "  ]\n"
              "}");
}

TEST(InstallerFrames, BordersAre38ColumnsWideAndTextLines39WithTheTitleAsItsOwn) {
    EXPECT_EQ(kTopBorder, "  ╔══════════════════════════════════════╗");
    EXPECT_EQ(kBottomBorder, "  ╚══════════════════════════════════════╝");
    EXPECT_EQ(sformat(kTitleFormat, "1.1.2"), "  ║   Quillon — Instalação  v1.1.2  ║\n");
    // Code points between the bars: after "  ║" (5 bytes), before "║" (3 bytes).
    auto columnsBetweenBars = [](std::string_view line) {
        int columns = 0;
        for (unsigned char c : line.substr(5, line.size() - 8)) columns += (c & 0xC0) != 0x80;
        return columns;
    };
    EXPECT_EQ(columnsBetweenBars(kTopBorder), 38);
    EXPECT_EQ(columnsBetweenBars(kBottomBorder), 38);
    EXPECT_EQ(columnsBetweenBars(kSubtitleLine), 39);
    EXPECT_EQ(columnsBetweenBars(kClosingLine), 39);
}

TEST(RemovalCommand, BuiltWithAllPathsQuotedUnchangedUnlessTheyWouldChangeTheCommand) {
    const std::string system = "C:\\Windows\\System32";
    auto command = platform::removalCommand(system, "C:\\Users\\A & B\\Quillon\\quillon-agent.exe",
                                            "C:\\Users\\A & B\\Quillon");
    ASSERT_TRUE(command.has_value());
    // Ping by its full path: a bare name is looked for in the current folder first.
    EXPECT_EQ(*command,
              "(for /l %i in (1,1,600) do (if exist \"C:\\Users\\A & B\\Quillon\\quillon-agent.exe\""
              " (\"C:\\Windows\\System32\\ping.exe\" 127.0.0.1 -n 2 >nul"
              " & del /f /q \"C:\\Users\\A & B\\Quillon\\quillon-agent.exe\")))"
              " & rmdir /q \"C:\\Users\\A & B\\Quillon\"");
    // No AutoRun commands, no !NAME! expansion, only the outer quotes dropped.
    EXPECT_EQ(platform::interpreterCommandLine(*command), "cmd.exe /d /v:off /s /c \"" + *command + "\"");

    auto parsed = testing::parseRemovalCommand(*command);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->tries, 600);
    EXPECT_EQ(parsed->file, "C:\\Users\\A & B\\Quillon\\quillon-agent.exe");
    EXPECT_EQ(parsed->folder, "C:\\Users\\A & B\\Quillon");

    // A quote would end the quoted path early and let the rest run as commands.
    EXPECT_FALSE(platform::removalCommand(system, "C:\\x\" & del /q \"C:\\important", "C:\\x").has_value());
    EXPECT_FALSE(platform::removalCommand(system, "C:\\x\\a.exe", "C:\\x\nrd /s /q C:\\").has_value());
    // %NAME% is expanded even between quotes: another file would be deleted.
    EXPECT_FALSE(platform::removalCommand(system, "C:\\%USERNAME%\\a.exe", "C:\\x").has_value());
    EXPECT_FALSE(platform::removalCommand(system, "", "C:\\x").has_value());
    // The system folder stands between quotes too.
    EXPECT_FALSE(platform::removalCommand("C:\\%SystemRoot%", "C:\\x\\a.exe", "C:\\x").has_value());
    EXPECT_FALSE(platform::removalCommand("C:\\Win\"dows", "C:\\x\\a.exe", "C:\\x").has_value());
    EXPECT_FALSE(platform::removalCommand("", "C:\\x\\a.exe", "C:\\x").has_value());
}

// The interpreter double deletes what such a command names, so it carries out
// nothing but that exact shape.
TEST(RemovalCommand, OnlyThatExactShapeIsRecognised) {
    auto shaped = [](std::string_view tries, std::string_view file, std::string_view ping,
                     std::string_view deleted, std::string_view folder) {
        return std::string("(for /l %i in (1,1,") + std::string(tries) + ") do (if exist \"" + std::string(file) +
               "\" (\"" + std::string(ping) + "\" 127.0.0.1 -n 2 >nul & del /f /q \"" + std::string(deleted) +
               "\"))) & rmdir /q \"" + std::string(folder) + "\"";
    };
    const auto good = testing::parseRemovalCommand(shaped("600", "a", "C:\\S\\ping.exe", "a", "b"));
    ASSERT_TRUE(good.has_value());
    EXPECT_EQ(good->tries, 600);
    EXPECT_EQ(good->file, "a");
    EXPECT_EQ(good->folder, "b");
    const std::string bad[] = {
        "del /f /q \"a\"",
        shaped("600", "a", "ping", "a", "b"),
        shaped("600", "a", "\\ping.exe", "a", "b"),
        shaped("600", "a", "C:\\%S%\\ping.exe", "a", "b"),
        shaped("600", "a", "C:\\S\\PING.EXE", "a", "b"),
        shaped("600", "a", "C:\\S\\ping.exe", "a", "b") + " & echo",
        shaped("600", "a", "C:\\S\\ping.exe", "c", "b"),
        shaped("600", "a\"b", "C:\\S\\ping.exe", "a\"b", "c"),
        shaped("600", "", "C:\\S\\ping.exe", "", "b"),
        shaped("600", "a", "C:\\S\\ping.exe", "a", "b\nc"),
        shaped("", "a", "C:\\S\\ping.exe", "a", "b"),
        shaped("0", "a", "C:\\S\\ping.exe", "a", "b"),
        shaped("99999", "a", "C:\\S\\ping.exe", "a", "b"),
        shaped("600", "a", "C:\\S\\ping.exe", "a", "b").replace(0, 1, ""),
        "(for /l %i in (1,1,600) do (if exist \"a\" (\"C:\\S\\ping.exe\" 127.0.0.1 -n 2 >nul & del /f /q \"a\")))"
        " & rmdir /s /q \"b\"",
    };
    for (const std::string& text : bad) EXPECT_FALSE(testing::parseRemovalCommand(text).has_value()) << text;
}

}  // namespace
}  // namespace quillon
