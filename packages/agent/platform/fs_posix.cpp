// POSIX stand-in for the Windows file system: paths arrive in the Windows
// form and their backslashes become slashes here, and only here.
#include "platform/fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "common/paths.h"

namespace quillon::platform {
namespace {

std::string hostPath(std::string_view path) {
    std::string out(path);
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

// A NUL inside a path would silently cut it short at the system call.
bool holdsNul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

// "<operation> <path>: <system message>", the path as the caller gave it.
Error pathError(std::string_view operation, std::string_view path, int err) {
    std::string text(operation);
    text += ' ';
    text += path;
    text += ": ";
    text += std::strerror(err);
    return newError(std::move(text));
}

// Writes all of the data; 0, or the errno of the write that failed.
int writeAll(int fd, ByteView data) {
    const std::uint8_t* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return 0;
}

bool isDirectory(const std::string& host) {
    struct stat st;
    return ::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class FdAppendFile final : public AppendFile {
public:
    explicit FdAppendFile(int fd) : fd_(fd) {}
    ~FdAppendFile() override { ::close(fd_); }
    void write(std::string_view bytes) override {
        // One write per line, so lines of concurrent runs never mix.
        ssize_t n;
        do n = ::write(fd_, bytes.data(), bytes.size());
        while (n < 0 && errno == EINTR);
    }

private:
    int fd_;
};

}  // namespace

std::optional<std::string> getEnv(std::string_view name) {
    if (holdsNul(name)) return std::nullopt;
    const char* value = std::getenv(std::string(name).c_str());
    if (!value) return std::nullopt;
    return std::string(value);
}

std::string tempDirectory() {
    std::string dir = getEnv("TMPDIR").value_or("");
    if (dir.empty()) dir = "/tmp";
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

bool pathExists(std::string_view path) {
    if (holdsNul(path)) return false;
    struct stat st;
    return ::stat(hostPath(path).c_str(), &st) == 0;
}

bool isPlainFile(std::string_view path) {
    if (holdsNul(path)) return false;
    struct stat st;
    return ::lstat(hostPath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isPlainFolder(std::string_view path) {
    if (holdsNul(path)) return false;
    struct stat st;
    return ::lstat(hostPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool samePathIgnoringCase(std::string_view a, std::string_view b) {
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return fold(x) == fold(y); });
}

Result<std::string> absolutePath(std::string_view path) {
    if (holdsNul(path) || path.empty()) return fail(pathError("full path", path, EINVAL));
    if (path.front() == '\\' || path.front() == '/') return normalizePath(path);
    std::string here(256, '\0');
    while (::getcwd(here.data(), here.size()) == nullptr) {
        if (errno != ERANGE) return fail(pathError("getcwd for", path, errno));
        here.resize(here.size() * 2);
    }
    here.resize(std::strlen(here.c_str()));
    return joinPath(here, path);
}

// Walks up from the path to the first folder that exists, then makes the
// missing ones from the top down: a loop, so a path of thousands of levels
// takes no more stack than one of two. Each level stands as the caller's text
// cut short at a separator and names its own failure.
Status createDirectories(std::string_view path) {
    if (holdsNul(path)) return fail(pathError("mkdir", path, EINVAL));
    const std::string host = hostPath(path);
    // Each level to make: its text's length in `path` and its length once
    // trailing separators are dropped, the deepest first.
    struct Level {
        std::size_t text, trimmed;
    };
    std::vector<Level> missing;
    std::size_t text = host.size();
    for (;;) {
        std::size_t trimmed = text;
        while (trimmed > 1 && host[trimmed - 1] == '/') --trimmed;
        if (trimmed == 0 || isDirectory(host.substr(0, trimmed))) break;
        missing.push_back({text, trimmed});
        const std::size_t slash = host.find_last_of('/', trimmed - 1);
        if (slash == std::string::npos || slash == 0) break;
        text = slash;
    }
    for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
        const std::string folder = host.substr(0, level->trimmed);
        if (::mkdir(folder.c_str(), 0755) != 0) {
            int err = errno;
            if (err == EEXIST && isDirectory(folder)) continue;
            return fail(pathError("mkdir", path.substr(0, level->text), err));
        }
    }
    return {};
}

Status renameNoReplace(std::string_view from, std::string_view to) {
    if (holdsNul(from) || holdsNul(to)) return fail(pathError("rename", from, EINVAL));
    const std::string oldName = hostPath(from), newName = hostPath(to);
    if (::renameat2(AT_FDCWD, oldName.c_str(), AT_FDCWD, newName.c_str(), RENAME_NOREPLACE) == 0) return {};
    const int err = errno;
    if (err != EINVAL && err != ENOSYS) return fail(pathError("rename", from, err));
    // A file system without the flag: link() too refuses an existing name.
    if (::link(oldName.c_str(), newName.c_str()) != 0) return fail(pathError("rename", from, errno));
    if (::unlink(oldName.c_str()) != 0) {
        const int unlinkErr = errno;
        ::unlink(newName.c_str());
        return fail(pathError("rename", from, unlinkErr));
    }
    return {};
}

Result<Bytes> readWholeFile(std::string_view path) {
    if (holdsNul(path)) return fail(pathError("open", path, EINVAL));
    int fd = ::open(hostPath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(pathError("open", path, errno));
    Bytes data;
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_size > 0) data.reserve(static_cast<std::size_t>(st.st_size));
    std::uint8_t buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            return fail(pathError("read", path, err));
        }
        data.insert(data.end(), buffer, buffer + n);
    }
    ::close(fd);
    return data;
}

Status replaceWholeFile(std::string_view path, ByteView data, unsigned mode) {
    if (holdsNul(path)) return fail(pathError("open", path, EINVAL));
    const std::string target = hostPath(path);
    // Opened for writing without truncating, the file at the path shows
    // whether it may be replaced: a running program gives ETXTBSY, as the
    // truncating open of a plain write would. O_NONBLOCK: a FIFO without a
    // reader must not hold this up.
    if (const int probe = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); probe >= 0) {
        ::close(probe);
    } else if (errno != ENOENT) {
        return fail(pathError("open", path, errno));
    }
    const std::string temporary = target + ".new-" + std::to_string(::getpid());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0 && errno == EEXIST) {
        // Left by an earlier process of the same id that was ended mid-way.
        ::unlink(temporary.c_str());
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    }
    if (fd < 0) return fail(pathError("open", path, errno));
    auto abandon = [&](std::string_view operation, int err) {
        ::unlink(temporary.c_str());
        return fail(pathError(operation, path, err));
    };
    if (const int err = writeAll(fd, data)) {
        ::close(fd);
        return abandon("write", err);
    }
    if (::fsync(fd) != 0) {
        const int err = errno;
        ::close(fd);
        return abandon("write", err);
    }
    if (::close(fd) != 0) return abandon("close", errno);
    if (::rename(temporary.c_str(), target.c_str()) != 0) return abandon("rename", errno);
    return {};
}

Status removeFile(std::string_view path) {
    if (holdsNul(path)) return fail(pathError("remove", path, EINVAL));
    if (::unlink(hostPath(path).c_str()) != 0) return fail(pathError("remove", path, errno));
    return {};
}

Result<std::string> executablePath() {
    std::string buffer(256, '\0');
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return fail(pathError("readlink", "/proc/self/exe", errno));
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

Result<std::unique_ptr<AppendFile>> openAppendShared(std::string_view path) {
    if (holdsNul(path)) return fail(pathError("open", path, EINVAL));
    // Without O_NONBLOCK, a named pipe that nobody reads would hold the open
    // for ever; only a regular file is kept, and then used blocking as usual.
    int fd = ::open(hostPath(path).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) return fail(pathError("open", path, errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail("open " + std::string(path) + ": not a regular file");
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return std::unique_ptr<AppendFile>(new FdAppendFile(fd));
}

LocalTime localTimeNow() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&now, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

}  // namespace quillon::platform
