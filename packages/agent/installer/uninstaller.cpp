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
// one, empties it; so it is started only for a plain file in a plain folder
// (an install folder that is a link or junction would have it delete what
// the link leads to). The interpreter runs in a folder of its own, so it is
// handed full paths: a relative install folder (no LOCALAPPDATA, no
// USERPROFILE) would be looked for there.
void scheduleRemoval(const InstallLayout& layout) {
    const auto folder = platform::absolutePath(layout.installDir);
    const auto file = platform::absolutePath(layout.targetExe);
    if (!folder || !file || !platform::isPlainFolder(*folder) || !platform::isPlainFile(*file)) return;
    const auto system = platform::systemFolder();
    if (!system) return;
    if (auto command = platform::removalCommand(*system, *file, *folder)) platform::runDetachedCmd(*command);
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
