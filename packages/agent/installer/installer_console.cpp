#include "installer/installer_console.h"

#include <cstdlib>
#include <string>

#include "platform/console.h"

namespace quillon {

void InstallerConsole::write(std::string_view text) { platform::writeConsoleText(text); }

void InstallerConsole::say(std::string_view text) const {
    if (silent_) return;
    std::string line(text);
    line += '\n';
    write(line);
}

void InstallerConsole::pauseUnlessSilent() const {
    if (!silent_) pause();
}

void InstallerConsole::fatalf(std::string_view message) const { quillon::fatalf(silent_, message); }

void fatalf(bool silent, std::string_view message) {
    if (!silent) {
        std::string line = "  \u2717 ";
        line += message;
        line += '\n';
        platform::writeConsoleText(line);
        pause();
    }
    std::exit(1);
}

void pause() {
    platform::writeConsoleText("  Pressione Enter para fechar...");
    platform::readOneInputByte();
}

}  // namespace quillon
