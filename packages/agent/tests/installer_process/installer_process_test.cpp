#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <thread>

#include "install_layout.h"
#include "native_manifest.h"
#include "wide_text.h"

extern char** environ;

namespace quillon {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The agent's Windows-form paths as the stand-ins map them onto this system.
fs::path host(std::string path) {
    for (char& c : path)
        if (c == '\\') c = '/';
    return path;
}

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

enum class Input { Null, File };

// One user's machine: a home (holding the registry stand-in), a local
// application-data folder, a downloads folder with a copy of the program,
// and module folders that hold no token driver unless a test puts one there.
class Machine : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("quillon-installer-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        for (const char* dir : {"home", "Local", "Downloads", "Windows", "Program Files", "x86"})
            fs::create_directories(root_ / dir);
        downloadedCopy_ = root_ / "Downloads" / "quillon-agent.exe";
        fs::copy_file(QUILLON_AGENT_BINARY, downloadedCopy_);
        env_ = {{"HOME", (root_ / "home").string()},
                {"LOCALAPPDATA", (root_ / "Local").string()},
                {"SystemRoot", (root_ / "Windows").string()},
                {"ProgramFiles", (root_ / "Program Files").string()},
                {"ProgramFiles(x86)", (root_ / "x86").string()}};
    }
    void TearDown() override { fs::remove_all(root_); }

    InstallLayout layout() const { return installLayoutFor(env_.at("LOCALAPPDATA"), std::nullopt); }

    Outcome run(const fs::path& program, std::vector<std::string> args, Input input = Input::Null,
            const std::string& inputBytes = "", const std::optional<fs::path>& cwd = {}) {
        const fs::path in = root_ / "stdin", out = root_ / "stdout", err = root_ / "stderr";
        std::ofstream(in, std::ios::binary) << inputBytes;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, input == Input::Null ? "/dev/null" : in.c_str(),
                                         O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (cwd) posix_spawn_file_actions_addchdir_np(&actions, cwd->c_str());

        std::map<std::string, std::string> vars;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            vars[entry.substr(0, entry.find('='))] = entry.substr(entry.find('=') + 1);
        }
        vars.erase("USERPROFILE");
        for (const auto& [name, value] : env_) vars[name] = value;
        std::vector<std::string> envText;
        for (const auto& [name, value] : vars) envText.push_back(name + "=" + value);
        std::vector<char*> envp, argv{const_cast<char*>(program.c_str())};
        for (auto& e : envText) envp.push_back(e.data());
        for (auto& a : args) argv.push_back(a.data());
        envp.push_back(nullptr);
        argv.push_back(nullptr);

        pid_t pid = -1;
        Outcome result;
        const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) return result;
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                return result;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.out = readFile(out);
        result.err = readFile(err);
        return result;
    }

    nlohmann::json registryKeys() const {
        auto doc = nlohmann::json::parse(readFile(root_ / "home" / ".quillon-registry.json"), nullptr, false);
        return doc.is_object() ? doc["keys"] : nlohmann::json::object();
    }

    fs::path root_, downloadedCopy_;
    std::map<std::string, std::string> env_;
};

std::string hexOfUtf16(std::string_view text) {
    std::string hex;
    char byte[3];
    for (char16_t unit : utf8ToUtf16(text) + u'\0') {
        for (unsigned b : {unit & 0xFFu, unsigned(unit) >> 8}) {
            snprintf(byte, sizeof byte, "%02x", b);
            hex += byte;
        }
    }
    return hex;
}

std::string expectedInstallLines(const InstallLayout& layout, bool copies, const std::string& drivers) {
    std::string text =
        "\n"
        "  ╔══════════════════════════════════════╗\n"
        "  ║   Quillon — Instalação  v1.1.2  ║\n"
        "  ║   Agente de Certificado A3            ║\n"
        "  ╚══════════════════════════════════════╝\n"
        "\n";
    if (copies) text += "  → Copiando agente para " + layout.installDir + "\n";
    text += "  ✓ Agente instalado em: " + layout.targetExe + "\n" +
            "  → Registrando nos browsers...\n"
            "  ✓ Chrome configurado.\n"
            "  ✓ Brave configurado.\n"
            "  ✓ Edge configurado.\n"
            "  ✓ Entrada de desinstalação registrada.\n"
            "\n" +
            drivers +
            "\n"
            "  ╔══════════════════════════════════════╗\n"
            "  ║   Instalação concluída!               ║\n"
            "  ╚══════════════════════════════════════╝\n"
            "\n"
            "  Feche e reabra o browser para ativar.\n"
            "\n"
            "  Pressione Enter para fechar...";
    return text;
}

const std::string kNoDrivers =
    "  ⚠  Nenhum driver de token A3 detectado.\n"
    "     Instale o driver do seu token (SafeNet, Feitian, etc.).\n";

const std::string kUninstallLines =
    "\n  → Desinstalando Quillon Agent...\n  ✓ Quillon Agent desinstalado.\n\n"
    "  Pressione Enter para fechar...";

TEST_F(Machine, InstallWritesTheExactLinesTheCopyTheManifestAndTheKeys) {
    fs::create_directories(root_ / "Windows" / "System32");
    std::ofstream(root_ / "Windows" / "System32" / "eToken.dll") << "module";
    const InstallLayout where = layout();
    const std::string driverPath = (root_ / "Windows").string() + "/System32/eToken.dll";
    std::string modulePath = driverPath;
    for (char& c : modulePath)
        if (c == '/') c = '\\';

    const Outcome outcome = run(downloadedCopy_, {});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, expectedInstallLines(where, true,
                                            "  ✓ Driver(s) de token detectado(s): 1\n    • " +
                                                modulePath + "\n"));
    EXPECT_EQ(outcome.err, "");

    EXPECT_EQ(readFile(host(where.targetExe)), readFile(downloadedCopy_));
    EXPECT_EQ(readFile(host(where.manifestPath)), nativeManifestText(where.targetExe));

    const auto keys = registryKeys();
    for (const BrowserTarget& browser : kBrowserTargets) {
        const auto& value = keys[browserKey(browser)][""];
        EXPECT_EQ(value["type"], 1) << browser.displayName;
        EXPECT_EQ(value["data"], hexOfUtf16(where.manifestPath)) << browser.displayName;
    }
    const auto& entry = keys[std::string(kUninstallKey)];
    const std::string uninstall = "\"" + where.targetExe + "\" --uninstall";
    const std::map<std::string, std::string> texts{
        {"DisplayName", "Quillon Agent"}, {"DisplayVersion", "1.1.2"},
        {"Publisher", "Quillon"},         {"InstallLocation", where.installDir},
        {"UninstallString", uninstall},   {"QuietUninstallString", uninstall + " --silent"},
        {"DisplayIcon", where.targetExe}};
    for (const auto& [name, text] : texts) {
        EXPECT_EQ(entry[name]["type"], 1) << name;
        EXPECT_EQ(entry[name]["data"], hexOfUtf16(text)) << name;
    }
    for (const char* name : {"NoModify", "NoRepair"}) {
        EXPECT_EQ(entry[name]["type"], 4) << name;
        EXPECT_EQ(entry[name]["data"], "01000000") << name;
    }
    EXPECT_EQ(entry.size(), 9u);
}

TEST_F(Machine, InstallingAgainGivesTheSameFilesAndKeys) {
    ASSERT_EQ(run(downloadedCopy_, {}).status, 0);
    const InstallLayout where = layout();
    const std::string manifest = readFile(host(where.manifestPath));
    const std::string registry = readFile(root_ / "home" / ".quillon-registry.json");
    const Outcome again = run(downloadedCopy_, {"/quiet"});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(readFile(host(where.manifestPath)), manifest);
    EXPECT_EQ(readFile(root_ / "home" / ".quillon-registry.json"), registry);
}

TEST_F(Machine, TheInstalledCopyInstallingItselfCopiesNothing) {
    ASSERT_EQ(run(downloadedCopy_, {}).status, 0);
    const InstallLayout where = layout();
    const Outcome self = run(host(where.targetExe), {});
    EXPECT_EQ(self.status, 0);
    EXPECT_EQ(self.out, expectedInstallLines(where, false, kNoDrivers));
}

TEST_F(Machine, SilentWordsWriteNothingAndOtherCaseIsIgnored) {
    for (const char* word : {"--silent", "/S", "/quiet"}) {
        const Outcome silent = run(downloadedCopy_, {"extra", word});
        EXPECT_EQ(silent.status, 0) << word;
        EXPECT_EQ(silent.out, "") << word;
    }
    EXPECT_TRUE(fs::exists(host(layout().manifestPath)));
    const Outcome loud = run(downloadedCopy_, {"/s"});
    EXPECT_EQ(loud.out, expectedInstallLines(layout(), true, kNoDrivers));
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
        EXPECT_FALSE(keys.contains(browserKey(browser)));
        // The parent keys stay.
        EXPECT_TRUE(keys.contains(browserKey(browser).substr(0, browserKey(browser).rfind('\\'))));
    }
    EXPECT_FALSE(keys.contains(std::string(kUninstallKey)));
    EXPECT_FALSE(fs::exists(host(where.manifestPath)));
    if (withinTheDelay) {
        EXPECT_TRUE(fs::exists(host(where.targetExe))) << "deleted without the delay";
    }

    EXPECT_TRUE(goneWithinFiveSeconds(host(where.installDir)));

    const Outcome nothingLeft = run(downloadedCopy_, {"--uninstall"});
    EXPECT_EQ(nothingLeft.status, 0);
    EXPECT_EQ(nothingLeft.out, kUninstallLines);
}

TEST_F(Machine, SilentUninstallOfTheInstalledCopyKeepsAFolderThatHoldsMore) {
    env_["LOCALAPPDATA"] = (root_ / "Dados & Coisas" / "Configuração local").string();
    ASSERT_EQ(run(downloadedCopy_, {"/S"}).status, 0);
    const InstallLayout where = layout();
    EXPECT_NE(readFile(host(where.manifestPath)).find("Dados \\u0026 Coisas"), std::string::npos);
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
}

TEST_F(Machine, UninstallStartedInsideTheFolderLeavesItEmpty) {
    ASSERT_EQ(run(downloadedCopy_, {"--silent"}).status, 0);
    const InstallLayout where = layout();
    ASSERT_EQ(run(downloadedCopy_, {"--uninstall", "--silent"}, Input::Null, "", host(where.installDir)).status, 0);
    EXPECT_TRUE(goneWithinFiveSeconds(host(where.targetExe)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(fs::is_directory(host(where.installDir)));
}

TEST_F(Machine, AFileOnStandardInputRunsTheAgentWhateverTheArguments) {
    ASSERT_EQ(run(downloadedCopy_, {"--silent"}).status, 0);
    const std::string ping = R"({"type":"QUILLON_PING"})";
    const std::string frame = std::string{char(ping.size()), 0, 0, 0} + ping;
    env_["TMPDIR"] = root_.string();
    const Outcome agent = run(downloadedCopy_, {"--uninstall", "--silent"}, Input::File, frame);
    EXPECT_EQ(agent.status, 0);
    EXPECT_NE(agent.out.find(R"({"type":"QUILLON_PONG","version":"1.1.2"})"), std::string::npos);
    EXPECT_TRUE(fs::exists(host(layout().manifestPath)));
    EXPECT_TRUE(registryKeys().contains(std::string(kUninstallKey)));
}

}  // namespace
}  // namespace quillon
