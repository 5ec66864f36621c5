#include <string>

#include "installer/installer.h"
#include "common/paths.h"
#include "common/version.h"
#include "installer/install_layout.h"
#include "installer/installer_console.h"
#include "installer/native_manifest.h"
#include "platform/args.h"
#include "platform/fs.h"
#include "platform/registry.h"
#include "token/module_list.h"

namespace quillon {

namespace {

constexpr unsigned kExecutableMode = 0755;
constexpr unsigned kManifestMode = 0644;
constexpr std::string_view kNoBrowserFound = "Nenhum browser compatível encontrado (Chrome, Brave ou Edge).";

void showBanner(const InstallerConsole& console) {
    console.say("");
    console.say(kTopBorder);
    console.sayf(kTitleFormat, kVersion);
    console.say(kSubtitleLine);
    console.say(kBottomBorder);
    console.say("");
}

// Copies the running executable to targetExe, unless it is already running
// from there (the same normalised path, letter case aside: the path it was
// started by keeps whatever case was typed).
void installExecutable(const InstallerConsole& console, const InstallLayout& layout) {
    auto running = platform::executablePath();
    if (!running)
        console.fatalf("Não foi possível determinar o caminho do executável: " + running.error().text);
    if (!platform::samePathIgnoringCase(normalizePath(*running), normalizePath(layout.targetExe))) {
        console.sayf("  \u2192 Copiando agente para %s\n", layout.installDir);
        auto image = platform::readWholeFile(*running);
        if (!image) console.fatalf("Erro ao ler o executável: " + image.error().text);
        if (auto written = platform::replaceWholeFile(layout.targetExe, *image, kExecutableMode); !written)
            console.fatalf("Erro ao copiar o executável: " + written.error().text);
    }
    console.sayf("  \u2713 Agente instalado em: %s\n", layout.targetExe);
}

void registerWithBrowsers(const InstallerConsole& console, const InstallLayout& layout) {
    console.say("  \u2192 Registrando nos browsers...");
    int registered = 0;
    for (const BrowserTarget& browser : kBrowserTargets) {
        if (!platform::regSetSZ(browserKey(browser), "", layout.manifestPath)) continue;
        console.sayf("  \u2713 %s configurado.\n", browser.displayName);
        ++registered;
    }
    if (registered == 0)
        console.fatalf(kNoBrowserFound);
}

// Each value is set on its own; one that fails neither stops the others nor shows.
void writeUninstallEntry(const InstallerConsole& console, const InstallLayout& layout) {
    const std::string uninstall = "\"" + layout.targetExe + "\" --uninstall";
    (void)platform::regSetSZ(kUninstallKey, "DisplayName", "Quillon Agent");
    (void)platform::regSetSZ(kUninstallKey, "DisplayVersion", kVersion);
    (void)platform::regSetSZ(kUninstallKey, "Publisher", "Quillon");
    (void)platform::regSetSZ(kUninstallKey, "InstallLocation", layout.installDir);
    (void)platform::regSetSZ(kUninstallKey, "UninstallString", uninstall);
    (void)platform::regSetSZ(kUninstallKey, "QuietUninstallString", uninstall + " --silent");
    (void)platform::regSetSZ(kUninstallKey, "DisplayIcon", layout.targetExe);
    (void)platform::regSetDWORD(kUninstallKey, "NoModify", 1);
    (void)platform::regSetDWORD(kUninstallKey, "NoRepair", 1);
    console.say("  \u2713 Entrada de desinstalação registrada.");
}

void reportDrivers(const InstallerConsole& console) {
    const auto modules = findPkcs11Libraries();
    console.say("");
    if (modules.empty()) {
        console.say("  \u26a0  Nenhum driver de token A3 detectado.");
        console.say("     Instale o driver do seu token (SafeNet, Feitian, etc.).");
        return;
    }
    console.sayf("  \u2713 Driver(s) de token detectado(s): %d\n", modules.size());
    for (const std::string& module : modules) console.sayf("    \u2022 %s\n", module);
}

void showClosing(const InstallerConsole& console) {
    console.say("");
    console.say(kTopBorder);
    console.say(kClosingLine);
    console.say(kBottomBorder);
    console.say("");
    console.say("  Feche e reabra o browser para ativar.");
    console.say("");
    console.pauseUnlessSilent();
}

void install(const InstallerConsole& console) {
    showBanner(console);
    const InstallLayout layout = installLayout();
    // Without a registry no browser can be told where the host is, so
    // nothing is written where none could be registered.
    if (!platform::openRegistryCalls()) console.fatalf(kNoBrowserFound);
    if (auto created = platform::createDirectories(layout.installDir); !created)
        console.fatalf("Não foi possível criar o diretório de instalação: " + created.error().text);
    installExecutable(console, layout);
    if (auto saved = platform::replaceWholeFile(layout.manifestPath,
                                                asBytes(nativeManifestText(layout.targetExe)),
                                                kManifestMode);
        !saved)
        console.fatalf("Erro ao salvar manifesto: " + saved.error().text);
    registerWithBrowsers(console, layout);
    writeUninstallEntry(console, layout);
    reportDrivers(console);
    showClosing(console);
}

}  // namespace

InstallerRequest scanInstallerArguments(const std::vector<std::string>& arguments) {
    InstallerRequest request;
    for (const std::string& argument : arguments) {
        if (argument == "--uninstall") request.uninstall = true;
        if (argument == "--silent" || argument == "/S" || argument == "/quiet") request.silent = true;
    }
    return request;
}

void runInstaller() {
    const InstallerRequest request = scanInstallerArguments(platform::programArguments());
    if (request.uninstall) {
        runUninstaller(request.silent);
        return;
    }
    install(InstallerConsole(request.silent));
}

}  // namespace quillon
