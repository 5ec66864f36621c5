// Started by a browser, standard input is a pipe and the process serves
// native-messaging requests; started from a console (or with no usable
// standard input) it installs or uninstalls itself. Arguments never decide.
#include "host/handlers.h"
#include "log/log.h"
#include "installer/installer.h"
#include "platform/startup.h"
#include "platform/stdio.h"

namespace {

bool isCalledByBrowser() { return quillon::platform::queryStdinKind() == quillon::platform::StdinKind::Other; }

}  // namespace

int main() {
    quillon::platform::ensureStandardStreams();
    if (isCalledByBrowser()) {
        quillon::platform::suppressErrorDialogs();
        quillon::platform::reserveStandardStreamsForFrames();
        quillon::initLog();
        quillon::runAgent();
        quillon::closeLog();
    } else {
        quillon::runInstaller();
    }
    return 0;
}
