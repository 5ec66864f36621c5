// Installer mode: install for the current user, or uninstall with --uninstall.
#pragma once

#include <string>
#include <vector>

namespace quillon {

// Reads the process's own argument list; returns when done, or ends the
// process with status 1 after a fatal error.
void runInstaller();

// Removes the browser registrations, the uninstall entry and the manifest,
// and starts the delayed removal of the executable and its folder. Never
// fails: every removal is tried once and its outcome ignored.
void runUninstaller(bool silent);

struct InstallerRequest {
    bool uninstall = false;
    bool silent = false;
};

// The arguments after the program's name, each compared whole and with
// letter case: "--uninstall" asks for removal; "--silent", "/S" and "/quiet"
// for silence. Anything else is ignored.
InstallerRequest scanInstallerArguments(const std::vector<std::string>& arguments);

}  // namespace quillon
