#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "common/wide_text.h"
#include "installer/install_layout.h"
#include "installer/native_manifest.h"
#include "support/temp_folder.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using testing::fileText;

// The agent's Windows-form paths as the stand-ins map them onto this system.
fs::path host(const std::string& path) { return testing::hostFilesystemPath(path); }

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

// One user's machine: a home (holding the registry stand-in), a local
// application-data folder, a downloads folder with a copy of the program,
// and module folders that hold no token driver unless a test puts one there.
class Machine : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* dir : {"home", "Local", "Downloads", "Windows", "Program Files", "x86"})
            fs::create_directories(root_ / dir);
        downloadedCopy_ = root_ / "Downloads" / "quillon-agent.exe";
        fs::copy_file(QUILLON_AGENT_BINARY, downloadedCopy_);
        env_ = {{"HOME", (root_ / "home").string()},
                {"LOCALAPPDATA", (root_ / "Local").string()},
                {"SystemRoot", (root_ / "Windows").string()},
                {"ProgramFiles", (root_ / "Program Files").string()},
                {"ProgramFiles(x86)", (root_ / "x86").string()},
                {"TMPDIR", root_.string()}};
    }

    InstallLayout layout() const { return installLayoutFor(env_.at("LOCALAPPDATA"), std::nullopt); }

    // Standard input on the null device unless `input` is given (then a file
    // holding it); ended after 30 s.
    Outcome run(const fs::path& program, std::vector<std::string> args,
                const std::optional<std::string>& input = {}, const std::optional<fs::path>& cwd = {}) {
        const fs::path in = root_ / "stdin", out = root_ / "stdout", err = root_ / "stderr";
        if (input) std::ofstream(in, std::ios::binary) << *input;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, input ? in.c_str() : "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (cwd) posix_spawn_file_actions_addchdir_np(&actions, cwd->c_str());

        std::vector<std::string> envText;  // only the machine's variables: no USERPROFILE
        for (const auto& [name, value] : env_) envText.push_back(name + "=" + value);
        std::vector<char*> envp, argv{const_cast<char*>(program.c_str())};
        for (auto& e : envText) envp.push_back(e.data());
        for (auto& a : args) argv.push_back(a.data());
        envp.push_back(nullptr);
        argv.push_back(nullptr);

        pid_t pid = -1;
        const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
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

    std::string registryFile() const { return fileText((root_ / "home" / ".quillon-registry.json").string()); }
    // What the interpreter double was handed, one command a line.
    std::string recordedCommands() const { return fileText((root_ / "home" / ".quillon-commands").string()); }
    nlohmann::json registryKeys() const {
        auto doc = nlohmann::json::parse(registryFile(), nullptr, false);
        return doc.is_object() ? doc["keys"] : nlohmann::json::object();
    }

    testing::ScratchFolder scratch_{"installer"};
    fs::path root_ = testing::hostFilesystemPath(scratch_.path()), downloadedCopy_;
    std::map<std::string, std::string> env_;
};

// A text as the registry stand-in keeps a REG_SZ value: UTF-16LE and its NUL, in hex.
std::string hexOfUtf16(std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (char16_t unit : utf8ToUtf16(text) + u'\0')
        for (unsigned b : {unit & 0xFFu, unsigned(unit) >> 8}) hex += {kDigits[b >> 4], kDigits[b & 15]};
    return hex;
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
    fs::create_directories(root_ / "Windows" / "System32");
    std::ofstream(root_ / "Windows" / "System32" / "eToken.dll") << "module";
    const InstallLayout where = layout();
    std::string modulePath = env_["SystemRoot"] + "/System32/eToken.dll";
    for (char& c : modulePath)
        if (c == '/') c = '\\';

    const Outcome outcome = run(downloadedCopy_, {});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, expectedInstallLines(where, true,
                                                "  ✓ Driver(s) de token detectado(s): 1\n    • " +
                                                    modulePath + "\n"));
    EXPECT_EQ(outcome.err, "");

    EXPECT_EQ(fileText(where.targetExe), fileText(downloadedCopy_.string()));
    EXPECT_EQ(fileText(where.manifestPath), nativeManifestText(where.targetExe));

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
    const std::string manifest = fileText(where.manifestPath), registry = registryFile();
    ASSERT_FALSE(manifest.empty());

    ASSERT_EQ(run(downloadedCopy_, {"/quiet"}).status, 0);
    EXPECT_EQ(fileText(where.manifestPath), manifest);
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

    const auto keys = registryKeys();
    for (const BrowserTarget& browser : kBrowserTargets) {
        const std::string key = browserKey(browser);
        EXPECT_FALSE(keys.contains(key));
        EXPECT_TRUE(keys.contains(key.substr(0, key.rfind('\\'))));  // the parent key stays
    }
    EXPECT_FALSE(keys.contains(std::string(kUninstallKey)));
    EXPECT_FALSE(fs::exists(host(where.manifestPath)));
    EXPECT_TRUE(!withinTheDelay || fs::exists(host(where.targetExe))) << "deleted without the delay";
    EXPECT_TRUE(goneWithinFiveSeconds(host(where.installDir)));
    EXPECT_EQ(recordedCommands(), "\"C:\\Windows\\System32\\ping.exe\" 127.0.0.1 -n 2 >nul & del /f /q \"" +
                                      where.targetExe + "\" & rmdir /q \"" + where.installDir + "\"\n");

    const Outcome nothingLeft = run(downloadedCopy_, {"--uninstall"});
    EXPECT_EQ(nothingLeft.status, 0);
    EXPECT_EQ(nothingLeft.out, kUninstallLines);
}

TEST_F(Machine, UninstallRemovesTheFolderItRunsInButLeavesOneThatHoldsMore) {
    env_["LOCALAPPDATA"] = (root_ / "Dados & Coisas" / "Configuração local").string();
    ASSERT_EQ(run(downloadedCopy_, {"/S"}).status, 0);
    const InstallLayout where = layout();
    EXPECT_NE(fileText(where.manifestPath).find("Dados \\u0026 Coisas"), std::string::npos);
    // Typed inside the install folder: the removal runs from a folder of its own.
    ASSERT_EQ(run(downloadedCopy_, {"--uninstall", "--silent"}, {}, host(where.installDir)).status, 0);
    EXPECT_TRUE(goneWithinFiveSeconds(host(where.installDir)));

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
    EXPECT_EQ(recordedCommands(), "");
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
    EXPECT_EQ(recordedCommands(), "");
}

// The program itself has no registry to install into on Linux: started from
// a console it stops on the installer's fatal line before it writes a thing,
// neither in the folder it was started in nor in HOME.
TEST_F(Machine, TheProductBinaryInstallsNothingOnLinux) {
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
