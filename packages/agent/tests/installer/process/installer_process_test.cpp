#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <thread>

#include "common/wide_text.h"
#include "installer/install_layout.h"
#include "installer/native_manifest.h"
#include "support/temp_folder.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using testing::fileText;

// The Windows exe run under Wine in place of the Linux program with doubles:
// its installer then meets the prefix's real registry and command interpreter.
const char* wineExe() {
    const char* exe = std::getenv("QUILLON_INSTALLER_EXE");
    return exe && *exe ? exe : nullptr;
}
bool underWine() { return wineExe() != nullptr; }
fs::path wineDriveC() { return fs::path(std::getenv("WINEPREFIX")) / "drive_c"; }

// A host path inside the prefix's drive C in the form the Windows program
// sees; any other path is left as it is.
std::string windowsForm(const std::string& hostPath) {
    if (!underWine()) return hostPath;
    const std::string driveC = wineDriveC().string() + "/";
    if (!hostPath.starts_with(driveC)) return hostPath;
    std::string text = "C:\\" + hostPath.substr(driveC.size());
    for (char& c : text)
        if (c == '/') c = '\\';
    return text;
}

// The agent's Windows-form paths as this host sees them.
fs::path host(const std::string& path) {
    if (underWine() && (path.starts_with("C:\\") || path.starts_with("c:\\")))
        return wineDriveC() / testing::hostFilesystemPath(path.substr(3));
    return testing::hostFilesystemPath(path);
}
std::string hostText(const std::string& path) { return fileText(host(path).string()); }

// The delayed removal takes about a second.
bool goneWithinFiveSeconds(const fs::path& path) {
    for (int i = 0; i < 100 && fs::exists(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return !fs::exists(path);
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

// Spawns argv with standard input from `in`, output to the two files, in
// `cwd` if given, and `envp` as its environment (this process's when null);
// ended after 30 s.
Outcome spawnAndWait(const std::vector<std::string>& words, const char* in, const fs::path& out,
                     const fs::path& err, const std::optional<fs::path>& cwd, char* const* envp) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in, O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (cwd) posix_spawn_file_actions_addchdir_np(&actions, cwd->c_str());
    std::vector<char*> argv;
    for (const auto& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp ? envp : environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return {};
    int status = 0, waited = 0;
    for (int i = 0; i < 3000 && (waited = waitpid(pid, &status, WNOHANG)) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (waited == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return {};
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, fileText(out.string()), fileText(err.string())};
}

// One user's machine: a home (holding the registry stand-in), a local
// application-data folder, a downloads folder with a copy of the program,
// and module folders that hold no token driver unless a test puts one there.
// Under Wine the machine lives in the prefix's drive C, the program is
// started through cmd (Wine takes LOCALAPPDATA from the prefix otherwise),
// and the registry is read back with reg query.
class Machine : public ::testing::Test {
protected:
    void SetUp() override {
        if (underWine()) {
            // A blank in every path makes Wine quote each word whole for cmd,
            // so `set "LOCALAPPDATA=..." & ...` keeps no trailing blank.
            std::string name = (wineDriveC() / "quillon installer XXXXXX").string();
            ASSERT_NE(mkdtemp(name.data()), nullptr);
            wineRoot_ = root_ = name;
        }
        for (const char* dir : {"home", "Local", "Downloads", "Windows", "Program Files", "x86"})
            fs::create_directories(root_ / dir);
        downloadedCopy_ = root_ / "Downloads" / "quillon-agent.exe";
        fs::copy_file(underWine() ? wineExe() : QUILLON_AGENT_BINARY, downloadedCopy_);
        env_ = {{"HOME", (root_ / "home").string()},
                {"LOCALAPPDATA", (root_ / "Local").string()},
                {"SystemRoot", (root_ / "Windows").string()},
                {"ProgramFiles", (root_ / "Program Files").string()},
                {"ProgramFiles(x86)", (root_ / "x86").string()},
                {"TMPDIR", root_.string()}};
    }

    void TearDown() override {
        std::error_code ignored;
        if (underWine()) {
            fs::remove(systemModules() / "eToken.dll", ignored);
            fs::remove_all(wineRoot_, ignored);
        }
    }

    InstallLayout layout() const { return installLayoutFor(windowsForm(env_.at("LOCALAPPDATA")), std::nullopt); }

    // Where the installer looks first for token drivers, and how it names that folder.
    fs::path systemModules() const {
        return underWine() ? wineDriveC() / "windows" / "system32" : root_ / "Windows" / "System32";
    }
    std::string systemModulesSeen() const {
        std::string path = underWine() ? "C:\\windows\\System32" : env_.at("SystemRoot") + "/System32";
        for (char& c : path)
            if (c == '/') c = '\\';
        return path;
    }

    // Standard input on the null device unless `input` is given (then a file
    // holding it); ended after 30 s.
    Outcome run(const fs::path& program, std::vector<std::string> args,
                const std::optional<std::string>& input = {}, const std::optional<fs::path>& cwd = {}) {
        const fs::path in = root_ / "stdin", out = root_ / "stdout", err = root_ / "stderr";
        if (input) std::ofstream(in, std::ios::binary) << *input;
        const char* stdinPath = input ? in.c_str() : "/dev/null";
        if (underWine()) {
            std::vector<std::string> words{"wine", "cmd", "/c", "set", "LOCALAPPDATA=" + windowsForm(env_.at("LOCALAPPDATA")), "&"};
            if (cwd) words.insert(words.end(), {"cd", "/d", windowsForm(cwd->string()), "&"});
            words.push_back(windowsForm(program.string()));
            words.insert(words.end(), args.begin(), args.end());
            return spawnAndWait(words, stdinPath, out, err, {}, nullptr);
        }
        std::vector<std::string> envText;  // only the machine's variables: no USERPROFILE
        for (const auto& [name, value] : env_) envText.push_back(name + "=" + value);
        std::vector<char*> envp;
        for (auto& e : envText) envp.push_back(e.data());
        envp.push_back(nullptr);
        args.insert(args.begin(), program.string());
        return spawnAndWait(args, stdinPath, out, err, cwd, envp.data());
    }

    // The installer's keys (and the browsers' parent keys) in the registry
    // stand-in's form: key -> value name -> {type, data in hex}.
    nlohmann::json registryKeys() {
        if (!underWine()) {
            auto doc = nlohmann::json::parse(registryFile(), nullptr, false);
            return doc.is_object() ? doc["keys"] : nlohmann::json::object();
        }
        nlohmann::json keys = nlohmann::json::object();
        std::vector<std::string> names{std::string(kUninstallKey)};
        for (const BrowserTarget& browser : kBrowserTargets) {
            names.push_back(browserKey(browser));
            names.push_back(names.back().substr(0, names.back().rfind('\\')));
        }
        for (const std::string& name : names)
            if (auto values = wineKey(name)) keys[name] = *values;
        return keys;
    }
    std::string registryFile() {
        return underWine() ? registryKeys().dump() : fileText((root_ / "home" / ".quillon-registry.json").string());
    }
    // What the interpreter double was handed, one command a line.
    std::string recordedCommands() const { return fileText((root_ / "home" / ".quillon-commands").string()); }

    std::optional<nlohmann::json> wineKey(const std::string& key);

    testing::ScratchFolder scratch_{"installer"};
    fs::path root_ = testing::hostFilesystemPath(scratch_.path()), downloadedCopy_, wineRoot_;
    std::map<std::string, std::string> env_;
};

// A text as the registry stand-in keeps a REG_SZ value: UTF-16LE and its NUL, in hex.
void appendHexByte(std::string& hex, unsigned byte) {
    static constexpr char kDigits[] = "0123456789abcdef";
    hex += {kDigits[byte >> 4], kDigits[byte & 15]};
}

std::string hexOfUtf16(std::string_view text) {
    std::string hex;
    for (char16_t unit : utf8ToUtf16(text) + u'\0')
        for (unsigned b : {unit & 0xFFu, unsigned(unit) >> 8}) appendHexByte(hex, b);
    return hex;
}

// One key as reg query shows it: "    name    TYPE    value" lines.
std::optional<nlohmann::json> Machine::wineKey(const std::string& key) {
    const Outcome query = spawnAndWait({"wine", "reg", "query", key}, "/dev/null", root_ / "reg.out",
                                       root_ / "reg.err", {}, nullptr);
    if (query.status != 0) return std::nullopt;
    nlohmann::json values = nlohmann::json::object();
    std::istringstream lines(query.out);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.starts_with("    ")) continue;
        const std::size_t typeAt = line.find("    REG_", 4);
        if (typeAt == std::string::npos) continue;
        std::string name = line.substr(4, typeAt - 4);
        if (name == "(Default)") name.clear();
        const std::size_t valueAt = line.find("    ", typeAt + 4);
        const std::string type = line.substr(typeAt + 4, valueAt - typeAt - 4);
        const std::string value = valueAt == std::string::npos ? "" : line.substr(valueAt + 4);
        if (type == "REG_SZ") {
            values[name] = {{"type", 1}, {"data", hexOfUtf16(value)}};
        } else if (type == "REG_DWORD") {
            const auto number = static_cast<std::uint32_t>(std::stoul(value, nullptr, 16));
            std::string hex;
            for (int shift = 0; shift < 32; shift += 8) appendHexByte(hex, (number >> shift) & 255);
            values[name] = {{"type", 4}, {"data", hex}};
        } else {
            values[name] = {{"type", type}, {"data", value}};
        }
    }
    return values;
}

std::string expectedInstallLines(const InstallLayout& layout, bool copies, const std::string& drivers) {
    return "\n  ╔══════════════════════════════════════╗\n"
           "  ║   Quillon — Instalação  v1.1.2  ║\n"
           "  ║   Agente de Certificado A3            ║\n"
           "  ╚══════════════════════════════════════╝\n\n" +
           (copies ? "  → Copiando agente para " + layout.installDir + "\n" : std::string()) +
           "  ✓ Agente instalado em: " + layout.targetExe + "\n"
           "  → Registrando nos browsers...\n"
           "  ✓ Chrome configurado.\n  ✓ Brave configurado.\n  ✓ Edge configurado.\n"
           "  ✓ Entrada de desinstalação registrada.\n\n" +
           drivers +
           "\n  ╔══════════════════════════════════════╗\n"
           "  ║   Instalação concluída!               ║\n"
           "  ╚══════════════════════════════════════╝\n\n"
           "  Feche e reabra o browser para ativar.\n\n"
           "  Pressione Enter para fechar...";
}

const std::string kUninstallLines =
    "\n  → Desinstalando Quillon Agent...\n  ✓ Quillon Agent desinstalado.\n\n"
    "  Pressione Enter para fechar...";

TEST_F(Machine, InstallWritesTheExactLinesTheCopyTheManifestAndTheKeys) {
    fs::create_directories(systemModules());
    std::ofstream(systemModules() / "eToken.dll") << "module";
    const InstallLayout where = layout();
    const std::string modulePath = systemModulesSeen() + "\\eToken.dll";

    const Outcome outcome = run(downloadedCopy_, {});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, expectedInstallLines(where, true,
                                                "  ✓ Driver(s) de token detectado(s): 1\n    • " +
                                                    modulePath + "\n"));
    EXPECT_EQ(outcome.err, "");

    EXPECT_EQ(hostText(where.targetExe), fileText(downloadedCopy_.string()));
    EXPECT_EQ(hostText(where.manifestPath), nativeManifestText(where.targetExe));
    EXPECT_EQ(hostText(where.manifestPath).find('\r'), std::string::npos);

    auto text = [](std::string_view value) { return nlohmann::json{{"type", 1}, {"data", hexOfUtf16(value)}}; };
    const auto keys = registryKeys();
    for (const BrowserTarget& browser : kBrowserTargets)
        EXPECT_EQ(keys[browserKey(browser)][""], text(where.manifestPath)) << browser.displayName;
    const auto& entry = keys[std::string(kUninstallKey)];
    const std::string uninstall = "\"" + where.targetExe + "\" --uninstall";
    const nlohmann::json one{{"type", 4}, {"data", "01000000"}};
    const std::map<std::string, nlohmann::json> values{
        {"DisplayName", text("Quillon Agent")}, {"DisplayVersion", text("1.1.2")},
        {"Publisher", text("Quillon")},         {"InstallLocation", text(where.installDir)},
        {"UninstallString", text(uninstall)},   {"QuietUninstallString", text(uninstall + " --silent")},
        {"DisplayIcon", text(where.targetExe)}, {"NoModify", one}, {"NoRepair", one}};
    for (const auto& [name, value] : values) EXPECT_EQ(entry[name], value) << name;
    EXPECT_EQ(entry.size(), 9u);
}

TEST_F(Machine, SilentInstallWritesNothingAndAgainOrFromTheInstalledCopyGivesTheSameResult) {
    const Outcome silent = run(downloadedCopy_, {"extra", "/S"});
    EXPECT_EQ(silent.status, 0);
    EXPECT_EQ(silent.out, "");
    const InstallLayout where = layout();
    const std::string manifest = hostText(where.manifestPath), registry = registryFile();
    ASSERT_FALSE(manifest.empty());

    ASSERT_EQ(run(downloadedCopy_, {"/quiet"}).status, 0);
    EXPECT_EQ(hostText(where.manifestPath), manifest);
    EXPECT_EQ(registryFile(), registry);

    const Outcome self = run(host(where.targetExe), {});  // copies nothing onto itself
    EXPECT_EQ(self.status, 0);
    EXPECT_EQ(self.out, expectedInstallLines(where, false,
                                             "  ⚠  Nenhum driver de token A3 detectado.\n"
                                             "     Instale o driver do seu token (SafeNet, Feitian, etc.).\n"));
    EXPECT_EQ(registryFile(), registry);
}

TEST_F(Machine, AFolderThatCannotBeCreatedIsFatalWithStatusOne) {
    std::ofstream(root_ / "blocker") << "a file where the folder should go";
    env_["LOCALAPPDATA"] = (root_ / "blocker").string();
    const Outcome loud = run(downloadedCopy_, {});
    EXPECT_EQ(loud.status, 1);
    const std::string fatal = "  ✗ Não foi possível criar o diretório de instalação: ";
    ASSERT_NE(loud.out.find(fatal), std::string::npos) << loud.out;
    EXPECT_TRUE(loud.out.ends_with("\n  Pressione Enter para fechar...")) << loud.out;
    EXPECT_EQ(loud.out.find("Copiando"), std::string::npos);

    const Outcome silent = run(downloadedCopy_, {"--silent"});
    EXPECT_EQ(silent.status, 1);
    EXPECT_EQ(silent.out, "");
}

TEST_F(Machine, UninstallRemovesKeysAndManifestAtOnceThenTheProgramAndFolder) {
    ASSERT_EQ(run(downloadedCopy_, {"--silent"}).status, 0);
    const InstallLayout where = layout();
    const auto started = std::chrono::steady_clock::now();
    const Outcome removal = run(downloadedCopy_, {"--uninstall"});
    EXPECT_EQ(removal.status, 0);
    EXPECT_EQ(removal.out, kUninstallLines);
    EXPECT_EQ(removal.err, "");
    const bool withinTheDelay = std::chrono::steady_clock::now() - started < std::chrono::milliseconds(700);
    // Seen before the registry is read: under Wine that takes longer than the delay.
    const bool programStayed = fs::exists(host(where.targetExe));

    const auto keys = registryKeys();
    for (const BrowserTarget& browser : kBrowserTargets) {
        const std::string key = browserKey(browser);
        EXPECT_FALSE(keys.contains(key));
        EXPECT_TRUE(keys.contains(key.substr(0, key.rfind('\\'))));  // the parent key stays
    }
    EXPECT_FALSE(keys.contains(std::string(kUninstallKey)));
    EXPECT_FALSE(fs::exists(host(where.manifestPath)));
    EXPECT_TRUE(!withinTheDelay || programStayed) << "deleted without the delay";
    EXPECT_TRUE(goneWithinFiveSeconds(host(where.installDir)));
    if (!underWine()) {
        EXPECT_EQ(recordedCommands(), "\"C:\\Windows\\System32\\ping.exe\" 127.0.0.1 -n 2 >nul & del /f /q \"" +
                                      where.targetExe + "\" & rmdir /q \"" + where.installDir + "\"\n");
    }

    const Outcome nothingLeft = run(downloadedCopy_, {"--uninstall"});
    EXPECT_EQ(nothingLeft.status, 0);
    EXPECT_EQ(nothingLeft.out, kUninstallLines);
}

TEST_F(Machine, UninstallRemovesTheFolderItRunsInButLeavesOneThatHoldsMore) {
    env_["LOCALAPPDATA"] = (root_ / "Dados & Coisas" / "Configuração local").string();
    ASSERT_EQ(run(downloadedCopy_, {"/S"}).status, 0);
    const InstallLayout where = layout();
    EXPECT_EQ(hostText(where.targetExe), fileText(downloadedCopy_.string()));
    EXPECT_NE(hostText(where.manifestPath).find("Dados \\u0026 Coisas"), std::string::npos);
    // Typed inside the install folder: the removal runs from a folder of its own.
    ASSERT_EQ(run(downloadedCopy_, {"--uninstall", "--silent"}, {}, host(where.installDir)).status, 0);
    EXPECT_TRUE(goneWithinFiveSeconds(host(where.installDir)));
    EXPECT_TRUE(fs::is_directory(host(where.installDir).parent_path()));  // the folder above stays

    ASSERT_EQ(run(downloadedCopy_, {"/S"}).status, 0);
    std::ofstream(host(where.installDir) / "notes.txt") << "mine";
    const Outcome removal = run(host(where.targetExe), {"--silent", "--uninstall"});
    EXPECT_EQ(removal.status, 0);
    EXPECT_EQ(removal.out, "");
    EXPECT_TRUE(goneWithinFiveSeconds(host(where.targetExe)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(fs::exists(host(where.installDir) / "notes.txt"));
}

TEST_F(Machine, APathTheInterpreterWouldExpandKeepsTheProgramButRemovesTheRest) {
    env_["LOCALAPPDATA"] = (root_ / "100%HOME%").string();
    ASSERT_EQ(run(downloadedCopy_, {"--silent"}).status, 0);
    const InstallLayout where = layout();
    const Outcome removal = run(downloadedCopy_, {"--uninstall"});
    EXPECT_EQ(removal.status, 0);
    EXPECT_EQ(removal.out, kUninstallLines);
    EXPECT_FALSE(registryKeys().contains(std::string(kUninstallKey)));
    EXPECT_FALSE(fs::exists(host(where.manifestPath)));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(fs::exists(host(where.targetExe)));
    if (!underWine()) {
        EXPECT_EQ(recordedCommands(), "");
    }
}

TEST_F(Machine, AnythingButAPlainFileAtTheProgramsPathIsLeftAlone) {
    ASSERT_EQ(run(downloadedCopy_, {"--silent"}).status, 0);
    const InstallLayout where = layout();
    const fs::path program = host(where.targetExe), elsewhere = root_ / "elsewhere";
    fs::create_directories(elsewhere);
    std::ofstream(elsewhere / "keep.txt") << "mine";
    fs::remove(program);
    fs::create_directory_symlink(elsewhere, program);

    const Outcome removal = run(downloadedCopy_, {"--uninstall", "--silent"});
    EXPECT_EQ(removal.status, 0);
    EXPECT_FALSE(registryKeys().contains(std::string(kUninstallKey)));
    EXPECT_FALSE(fs::exists(host(where.manifestPath)));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(fs::is_symlink(program));
    EXPECT_TRUE(fs::exists(elsewhere / "keep.txt"));
    if (!underWine()) {
        EXPECT_EQ(recordedCommands(), "");
    }
}

// The program itself has no registry to install into on Linux: started from
// a console it stops on the installer's fatal line before it writes a thing,
// neither in the folder it was started in nor in HOME.
TEST_F(Machine, TheProductBinaryInstallsNothingOnLinux) {
    if (underWine()) GTEST_SKIP() << "a Linux program";
    const fs::path here = root_ / "here";
    fs::create_directories(here);
    env_.erase("LOCALAPPDATA");
    const Outcome refused = run(QUILLON_PRODUCT_BINARY, {}, {}, here);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.out.find("  \u2717 Nenhum browser compatível encontrado (Chrome, Brave ou Edge).\n"),
              std::string::npos);
    EXPECT_EQ(refused.out.find("configurado"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(here));
    EXPECT_TRUE(fs::is_empty(root_ / "home"));
}

TEST_F(Machine, AFileOnStandardInputRunsTheAgentWhateverTheArguments) {
    if (underWine()) GTEST_SKIP() << "Wine cannot describe a unix file given as standard input";
    ASSERT_EQ(run(downloadedCopy_, {"--silent"}).status, 0);
    const std::string ping = R"({"type":"QUILLON_PING"})";
    const Outcome agent = run(downloadedCopy_, {"--uninstall", "--silent"},
                              std::string{char(ping.size()), 0, 0, 0} + ping);
    EXPECT_EQ(agent.status, 0);
    EXPECT_NE(agent.out.find(R"({"type":"QUILLON_PONG","version":"1.1.2"})"), std::string::npos);
    EXPECT_TRUE(fs::exists(host(layout().manifestPath)));
    EXPECT_TRUE(registryKeys().contains(std::string(kUninstallKey)));
}

}  // namespace
}  // namespace quillon
