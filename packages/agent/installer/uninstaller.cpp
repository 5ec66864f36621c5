#include "installer/install_layout.h"
#include "installer/installer.h"
#include "installer/installer_console.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace quillon {

namespace {

// The executable may be this very process: a separate interpreter deletes
// it, trying about once a second until the program has ended (for up to
// about ten minutes), and then its folder if that is empty. It is started
// before the closing prompt, so a console window closed there leaves it
// running. An install may come within the first second (an update script
// uninstalls, then installs again), so the executable is first moved aside
// in its folder, under a name no install uses (a running program can be
// renamed), and the interpreter is handed that name: the deletion reaches
// only the copy uninstalled now, and the folder stays when a new install has
// filled it again. An executable that cannot be moved aside stays where it
// is and nothing is started: better a copy left behind than a new one
// deleted.
//
// The deletion forces its way through read-only files and, handed a folder
// or a link to one, empties it; so it is started only for a plain file in a
// plain folder (an install folder that is a link or junction would have it
// delete what the link leads to). The interpreter runs in a folder of its
// own, so it is handed full paths: a relative install folder (no
// LOCALAPPDATA, no USERPROFILE) would be looked for there.
void scheduleRemoval(const InstallLayout& layout) {
    const auto folder = platform::absolutePath(layout.installDir);
    const auto file = platform::absolutePath(layout.targetExe);
    if (!folder || !file || !platform::isPlainFolder(*folder) || !platform::isPlainFile(*file)) return;
    const auto system = platform::systemFolder();
    if (!system) return;
    for (int slot = 1; slot <= kUninstalledCopySlots; ++slot) {
        // A name still taken holds an earlier uninstalled copy whose removal
        // has not run yet, or could not delete it.
        const std::string aside = uninstalledCopyPath(*folder, slot);
        if (platform::pathExists(aside)) continue;
        const auto command = platform::removalCommand(*system, aside, *folder);
        if (!command || !platform::renameNoReplace(*file, aside)) return;
        platform::runDetachedCmd(*command);
        return;
    }
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
