#include "platform/startup.h"

#include <fcntl.h>
#include <unistd.h>

namespace quillon::platform {

void ensureStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) continue;
        // open returns the lowest free number, which is this one.
        int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) ::close(opened);
    }
}

void suppressErrorDialogs() {}

}  // namespace quillon::platform
