#include "platform/startup.h"

#include <windows.h>

namespace quillon::platform {

void ensureStandardStreams() {}

void suppressErrorDialogs() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

}  // namespace quillon::platform
