// Installer mode: install for the current user, or uninstall with --uninstall.
#pragma once

namespace quillon {

// Reads the process's own argument list; returns when done, or ends the
// process with status 1 after a fatal error.
void runInstaller();

}  // namespace quillon
