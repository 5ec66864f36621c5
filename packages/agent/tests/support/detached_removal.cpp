// Test double for the command interpreter: each command handed over is
// appended, exactly as given and on a line of its own, to
// $HOME/.quillon-commands, so tests can read what would have been run. The
// removal command is then carried out as the interpreter would, from the
// root folder (wait about a second, delete the file, remove the folder if it
// is empty and not the current folder); any other command is only recorded.
// The system folder is a fixed Windows-form text, since nothing runs there.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>

#include "platform/process.h"

namespace quillon::platform {

namespace {

std::string hostPath(std::string path) {
    for (char& c : path)
        if (c == '\\') c = '/';
    return path;
}

bool isCurrentFolder(const char* folder) {
    struct stat here{}, there{};
    return stat(".", &here) == 0 && stat(folder, &there) == 0 && here.st_dev == there.st_dev &&
           here.st_ino == there.st_ino;
}

// Runs in the detached grandchild: only system calls from here on.
[[noreturn]] void carryOutRemoval(const char* file, const char* folder) {
    const int devNull = open("/dev/null", O_RDWR);
    if (devNull >= 0) {
        dup2(devNull, 0);
        dup2(devNull, 1);
        dup2(devNull, 2);
    }
    // Nothing of the caller may stay open here: a reader of its output
    // would otherwise wait for this process, too.
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    // A fixed current folder, as the interpreter gets on Windows.
    if (chdir("/") != 0) _exit(1);
    timespec delay{1, 0};
    while (nanosleep(&delay, &delay) == -1 && errno == EINTR) {
    }
    unlink(file);
    // As with the interpreter on Windows, the folder it runs in stays.
    if (!isCurrentFolder(folder)) rmdir(folder);
    _exit(0);
}

}  // namespace

Result<std::string> systemFolder() { return std::string("C:\\Windows\\System32"); }

void runDetachedCmd(std::string_view command) {
    if (const char* home = std::getenv("HOME"); home && *home)
        std::ofstream(std::string(home) + "/.quillon-commands", std::ios::binary | std::ios::app) << command << '\n';
    const auto targets = parseRemovalCommand(command);
    if (!targets) return;
    const std::string file = hostPath(targets->file);
    const std::string folder = hostPath(targets->folder);
    const pid_t child = fork();
    if (child < 0) return;
    if (child == 0) {
        // A session of its own, and a grandchild that nobody waits for, so
        // the removal outlives this process.
        setsid();
        if (fork() == 0) carryOutRemoval(file.c_str(), folder.c_str());
        _exit(0);
    }
    waitpid(child, nullptr, 0);
}

}  // namespace quillon::platform
