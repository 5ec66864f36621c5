// Test double for the command interpreter: each command handed over is
// appended, exactly as given and on a line of its own, to
// $HOME/.quillon-commands, so tests can read what would have been run. The
// removal command is then carried out as the interpreter would, from the
// root folder: while the file exists, for the number of tries the command
// gives, wait about a second and delete it, then remove the folder if it is
// empty and not the current folder. As on Windows, a file some running
// process has as its executable is not deleted. Any other command is only
// recorded. The system folder is a fixed Windows-form text, since nothing
// runs there.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>

#include "platform/process.h"
#include "support/removal_command.h"

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

// Whether a process other than this one runs the program held in the file
// (its /proc/<pid>/exe is the same file), which Windows would refuse to
// delete. Only system calls: no allocation after the fork.
bool runByAnotherProcess(const char* file) {
    struct stat program{};
    if (stat(file, &program) != 0) return false;
    const int processes = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (processes < 0) return false;
    const pid_t self = getpid();
    bool running = false;
    alignas(dirent64) char entries[4096];
    ssize_t got = 0;
    while (!running && (got = getdents64(processes, entries, sizeof entries)) > 0) {
        for (ssize_t at = 0; at < got && !running;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            at += entry->d_reclen;
            pid_t pid = 0;
            const char* name = entry->d_name;
            for (; *name >= '0' && *name <= '9'; ++name) pid = pid * 10 + (*name - '0');
            if (*name != '\0' || pid == 0 || pid == self) continue;
            char exe[64] = "/proc/";
            char* end = exe + 6;
            for (const char* digit = entry->d_name; *digit; ++digit) *end++ = *digit;
            for (const char* rest = "/exe"; *rest; ++rest) *end++ = *rest;
            *end = '\0';
            struct stat runs{};
            running = stat(exe, &runs) == 0 && runs.st_dev == program.st_dev && runs.st_ino == program.st_ino;
        }
    }
    close(processes);
    return running;
}

// Runs in the detached grandchild: only system calls from here on.
[[noreturn]] void carryOutRemoval(int tries, const char* file, const char* folder) {
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
    struct stat left{};
    for (int tried = 0; tried < tries && lstat(file, &left) == 0; ++tried) {
        timespec delay{1, 0};
        while (nanosleep(&delay, &delay) == -1 && errno == EINTR) {
        }
        if (!runByAnotherProcess(file)) unlink(file);
    }
    // As with the interpreter on Windows, the folder it runs in stays.
    if (!isCurrentFolder(folder)) rmdir(folder);
    _exit(0);
}

}  // namespace

Result<std::string> systemFolder() { return std::string("C:\\Windows\\System32"); }

void runDetachedCmd(std::string_view command) {
    if (const char* home = std::getenv("HOME"); home && *home)
        std::ofstream(std::string(home) + "/.quillon-commands", std::ios::binary | std::ios::app) << command << '\n';
    const auto targets = testing::parseRemovalCommand(command);
    if (!targets) return;
    const std::string file = hostPath(targets->file);
    const std::string folder = hostPath(targets->folder);
    const pid_t child = fork();
    if (child < 0) return;
    if (child == 0) {
        // A session of its own, and a grandchild that nobody waits for, so
        // the removal outlives this process.
        setsid();
        if (fork() == 0) carryOutRemoval(targets->tries, file.c_str(), folder.c_str());
        _exit(0);
    }
    waitpid(child, nullptr, 0);
}

}  // namespace quillon::platform
