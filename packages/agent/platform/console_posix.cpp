#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/console.h"

namespace quillon::platform {

void writeConsoleText(std::string_view utf8) {
    // A reader that went away must not end the installer: as on Windows, the
    // failed write is simply ignored.
    std::signal(SIGPIPE, SIG_IGN);
    for (std::size_t done = 0; done < utf8.size();) {
        const ssize_t written = write(STDOUT_FILENO, utf8.data() + done, utf8.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        done += static_cast<std::size_t>(written);
    }
}

void readOneInputByte() {
    char byte = 0;
    while (read(STDIN_FILENO, &byte, 1) < 0 && errno == EINTR) {
    }
}

}  // namespace quillon::platform
