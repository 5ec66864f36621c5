#include "platform/stdio.h"

#include <windows.h>

#include <string>

#include "platform/utf16_win.h"

namespace quillon::platform {
namespace {

// The std handles are used with ReadFile/WriteFile directly, below the C
// runtime, so no newline translation can ever touch a frame.

constexpr DWORD kMaxTransfer = 1u << 30;  // one ReadFile/WriteFile at most

class HandleInput final : public InputStream {
public:
    Result<std::size_t> read(std::uint8_t* buffer, std::size_t size) override {
        HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
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
        HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
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

}  // namespace quillon::platform
