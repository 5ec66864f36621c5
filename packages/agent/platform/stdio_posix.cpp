#include "platform/stdio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

namespace quillon::platform {
namespace {

// Where the frames are read and written: descriptors 0 and 1 until
// reserveStandardStreamsForFrames sets them aside.
int frameInput = STDIN_FILENO;
int frameOutput = STDOUT_FILENO;

Error systemError(const char* operation, int err) {
    return newError(std::string(operation) + ": " + std::strerror(err));
}

class FrameInput final : public InputStream {
public:
    Result<std::size_t> read(std::uint8_t* buffer, std::size_t size) override {
        for (;;) {
            ssize_t n = ::read(frameInput, buffer, size);
            if (n >= 0) return static_cast<std::size_t>(n);
            if (errno == EINTR) continue;
            return fail(systemError("read", errno));
        }
    }
};

class FrameOutput final : public OutputStream {
public:
    Status write(const std::uint8_t* data, std::size_t size) override {
        while (size > 0) {
            ssize_t n = ::write(frameOutput, data, size);
            if (n < 0) {
                if (errno == EINTR) continue;
                return fail(systemError("write", errno));
            }
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return {};
    }
};

// A close-on-exec copy of `fd` above the standard numbers, and the null
// device in its place; `fd` itself when either step fails.
int setAside(int fd, int nullFlags) {
    const int kept = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (kept < 0) return fd;
    const int null = ::open("/dev/null", nullFlags | O_CLOEXEC);
    if (null < 0 || ::dup2(null, fd) < 0) {
        if (null >= 0) ::close(null);
        ::close(kept);
        return fd;
    }
    ::close(null);
    return kept;
}

}  // namespace

StdinKind queryStdinKind() {
    struct stat st;
    if (::fstat(STDIN_FILENO, &st) != 0) return StdinKind::Missing;
    return S_ISCHR(st.st_mode) ? StdinKind::CharDevice : StdinKind::Other;
}

InputStream& standardInput() {
    static FrameInput in;
    return in;
}

OutputStream& standardOutput() {
    static FrameOutput out = [] {
        // A browser that closed its end must make writes fail, not kill us.
        std::signal(SIGPIPE, SIG_IGN);
        return FrameOutput();
    }();
    return out;
}

void reserveStandardStreamsForFrames() {
    frameInput = setAside(STDIN_FILENO, O_RDONLY);
    frameOutput = setAside(STDOUT_FILENO, O_WRONLY);
}

}  // namespace quillon::platform
