#include "installer/install_layout.h"
#include "installer/installer.h"
#include "installer/installer_console.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace quillon {

namespace {

// The executable may be this very process: a separate interpreter deletes
// it, and then its folder, after a delay of about a second. That deletion
// forces its way through read-only files and, handed a folder or a link to
// one, empties it; so it is started only for a plain file.
void scheduleRemoval(const InstallLayout& layout) {
    if (!platform::isPlainFile(layout.targetExe)) return;
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
