#include "install_layout.h"
#include "installer.h"
#include "installer_console.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace quillon {

namespace {

// The executable may be this very process: a separate interpreter deletes
// it, and then its folder, after a delay of about a second.
void scheduleRemoval(const InstallLayout& layout) {
    const auto system = platform::systemFolder();
    if (!system) return;
    if (auto command = platform::removalCommand(*system, layout.targetExe, layout.installDir))
        platform::runDetachedCmd(*command);
}

}  // namespace

void runUninstaller(bool silent) {
    const InstallerConsole console(silent);
    console.say("");
    console.say("  \u2192 Desinstalando Quillon Agent...");
    const InstallLayout layout = installLayout();
    for (const BrowserTarget& browser : kBrowserTargets)
        (void)platform::regDeleteKey(browserKey(browser));
    (void)platform::regDeleteKey(kUninstallKey);
    (void)platform::removeFile(layout.manifestPath);
    scheduleRemoval(layout);
    console.say("  \u2713 Quillon Agent desinstalado.");
    console.say("");
    console.pauseUnlessSilent();
}

}  // namespace quillon
