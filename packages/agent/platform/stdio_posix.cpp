#include "platform/stdio.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

namespace quillon::platform {
namespace {

Error systemError(const char* operation, int err) {
    return newError(std::string(operation) + ": " + std::strerror(err));
}

class FdInput final : public InputStream {
public:
    explicit FdInput(int fd) : fd_(fd) {}
    Result<std::size_t> read(std::uint8_t* buffer, std::size_t size) override {
        for (;;) {
            ssize_t n = ::read(fd_, buffer, size);
            if (n >= 0) return static_cast<std::size_t>(n);
            if (errno == EINTR) continue;
            return fail(systemError("read", errno));
        }
    }

private:
    int fd_;
};

class FdOutput final : public OutputStream {
public:
    explicit FdOutput(int fd) : fd_(fd) {}
    Status write(const std::uint8_t* data, std::size_t size) override {
        while (size > 0) {
            ssize_t n = ::write(fd_, data, size);
            if (n < 0) {
                if (errno == EINTR) continue;
                return fail(systemError("write", errno));
            }
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return {};
    }

private:
    int fd_;
};

}  // namespace

StdinKind queryStdinKind() {
    struct stat st;
    if (::fstat(STDIN_FILENO, &st) != 0) return StdinKind::Missing;
    return S_ISCHR(st.st_mode) ? StdinKind::CharDevice : StdinKind::Other;
}

InputStream& standardInput() {
    static FdInput in(STDIN_FILENO);
    return in;
}

OutputStream& standardOutput() {
    static FdOutput out = [] {
        // A browser that closed its end must make writes fail, not kill us.
        std::signal(SIGPIPE, SIG_IGN);
        return FdOutput(STDOUT_FILENO);
    }();
    return out;
}

}  // namespace quillon::platform
