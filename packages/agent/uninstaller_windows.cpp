#include "install_layout.h"
#include "installer.h"
#include "installer_console.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace quillon {

void runUninstaller(bool silent) {
    const InstallerConsole console(silent);
    console.say("");
    console.say("  \u2192 Desinstalando Quillon Agent...");
    const InstallLayout layout = installLayout();
    for (const BrowserTarget& browser : kBrowserTargets)
        (void)platform::regDeleteKey(browserKey(browser));
    (void)platform::regDeleteKey(kUninstallKey);
    (void)platform::removeFile(layout.manifestPath);
    // The executable may be this very process: a separate interpreter
    // deletes it, and then its folder, after a delay of about a second.
    if (auto command = platform::removalCommand(layout.targetExe, layout.installDir))
        platform::runDetachedCmd(*command);
    console.say("  \u2713 Quillon Agent desinstalado.");
    console.say("");
    console.pauseUnlessSilent();
}

}  // namespace quillon
