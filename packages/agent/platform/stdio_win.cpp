#include "platform/stdio.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <string>

#include "platform/utf16_win.h"

namespace quillon::platform {
namespace {

// The std handles are used with ReadFile/WriteFile directly, below the C
// runtime, so no newline translation can ever touch a frame.

constexpr DWORD kMaxTransfer = 1u << 30;  // one ReadFile/WriteFile at most

// The handles reserveStandardStreamsForFrames set aside for the frames; until
// then (null) the frames use the standard handles as they stand.
HANDLE frameInput = nullptr;
HANDLE frameOutput = nullptr;

HANDLE frameHandle(HANDLE reserved, DWORD which) { return reserved ? reserved : GetStdHandle(which); }

class HandleInput final : public InputStream {
public:
    Result<std::size_t> read(std::uint8_t* buffer, std::size_t size) override {
        HANDLE h = frameHandle(frameInput, STD_INPUT_HANDLE);
        DWORD want = size > kMaxTransfer ? kMaxTransfer : static_cast<DWORD>(size);
        DWORD got = 0;
        if (!ReadFile(h, buffer, want, &got, nullptr)) {
            DWORD err = GetLastError();
            // The browser closing its end of the pipe is the end of the stream.
            if (err == ERROR_BROKEN_PIPE || err == ERROR_HANDLE_EOF) return std::size_t{0};
            // A message-mode pipe reports a message longer than the buffer
            // this way; the bytes read are good and the rest follows.
            if (err == ERROR_MORE_DATA) return static_cast<std::size_t>(got);
            return fail("read: " + win32Message(err));
        }
        return static_cast<std::size_t>(got);
    }
};

class HandleOutput final : public OutputStream {
public:
    Status write(const std::uint8_t* data, std::size_t size) override {
        HANDLE h = frameHandle(frameOutput, STD_OUTPUT_HANDLE);
        while (size > 0) {
            DWORD chunk = size > kMaxTransfer ? kMaxTransfer : static_cast<DWORD>(size);
            DWORD done = 0;
            if (!WriteFile(h, data, chunk, &done, nullptr)) return fail("write: " + win32Message(GetLastError()));
            if (done == 0) return fail("write: no progress");
            data += done;
            size -= done;
        }
        return {};
    }
};

// A copy of the standard handle that no child inherits, and the null device
// in its place for the system and for msvcrt's descriptor `fd`; null when
// the handle cannot be copied.
HANDLE setAside(DWORD which, int fd, int nullFlags) {
    const HANDLE original = GetStdHandle(which);
    if (original == nullptr || original == INVALID_HANDLE_VALUE) return nullptr;
    HANDLE kept = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &kept, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return nullptr;
    // The browser hands its pipes over inheritable. msvcrt closes the
    // original when descriptor `fd` is replaced, unless descriptor 2 holds
    // the same handle (a pipe for both outputs); made not inheritable, it
    // reaches no child either way.
    SetHandleInformation(original, HANDLE_FLAG_INHERIT, 0);
    const int null = _open("NUL", nullFlags | _O_BINARY);
    if (null >= 0) {
        // In a console program msvcrt sets the standard handle as it
        // replaces descriptors 0 to 2; set it here all the same.
        if (_dup2(null, fd) == 0) SetStdHandle(which, reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
        _close(null);
    }
    return kept;
}

}  // namespace

StdinKind queryStdinKind() {
    HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return StdinKind::Missing;
    SetLastError(NO_ERROR);
    DWORD type = GetFileType(h);
    if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) return StdinKind::Missing;
    if (type == FILE_TYPE_CHAR) return StdinKind::CharDevice;
    if (type == FILE_TYPE_DISK) {
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileInformationByHandle(h, &info)) return StdinKind::Missing;
    }
    return StdinKind::Other;
}

InputStream& standardInput() {
    static HandleInput in;
    return in;
}

OutputStream& standardOutput() {
    static HandleOutput out;
    return out;
}

void reserveStandardStreamsForFrames() {
    frameInput = setAside(STD_INPUT_HANDLE, 0, _O_RDONLY);
    frameOutput = setAside(STD_OUTPUT_HANDLE, 1, _O_WRONLY);
}

}  // namespace quillon::platform
