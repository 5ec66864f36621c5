#include "platform/fs.h"

#include <windows.h>

#include <vector>

#include "platform/utf16_win.h"

namespace quillon::platform {
namespace {

// "<operation> <path>: <system message>", the path as the caller gave it.
Error pathError(std::string_view operation, std::string_view path, DWORD code) {
    std::string text(operation);
    text += ' ';
    text += path;
    text += ": ";
    text += win32Message(code);
    return newError(std::move(text));
}

// Without an owner write bit the file is made read-only, as a POSIX mode would.
DWORD attributesFor(unsigned mode) { return (mode & 0200) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY; }

// Writes all of the data; NO_ERROR, or the error of the write that failed.
DWORD writeAll(HANDLE h, ByteView data) {
    const std::uint8_t* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
        DWORD done = 0;
        if (!WriteFile(h, p, chunk, &done, nullptr)) return GetLastError();
        p += done;
        left -= done;
    }
    return NO_ERROR;
}

// DeleteFileW refuses a read-only file, as the temporary is for such a mode.
void removeTemporary(const std::wstring& path) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
}

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool isDirectory(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

class HandleAppendFile final : public AppendFile {
public:
    explicit HandleAppendFile(HANDLE h) : h_(h) {}
    ~HandleAppendFile() override { CloseHandle(h_); }
    void write(std::string_view bytes) override {
        // FILE_APPEND_DATA alone: every write lands at the current end, so
        // lines of concurrent runs never overwrite each other.
        DWORD done = 0;
        WriteFile(h_, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
    }

private:
    HANDLE h_;
};

using GetTempPath2WFn = DWORD(WINAPI*)(DWORD, LPWSTR);

}  // namespace

std::optional<std::string> getEnv(std::string_view name) {
    auto checked = toWideChecked(name);
    if (!checked) return std::nullopt;
    std::wstring wname = std::move(*checked);
    std::wstring value(256, L'\0');
    for (;;) {
        SetLastError(NO_ERROR);
        DWORD n = GetEnvironmentVariableW(wname.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (n == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::string();
        }
        if (n < value.size()) {
            value.resize(n);
            return fromWide(value);
        }
        value.resize(n);  // n counts the terminator when the buffer was short
    }
}

std::string tempDirectory() {
    // GetTempPath2W exists only on recent systems (and not in every Wine).
    auto getTempPath2 = reinterpret_cast<GetTempPath2WFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W")));
    wchar_t buffer[MAX_PATH + 2];
    DWORD n = getTempPath2 ? getTempPath2(MAX_PATH + 2, buffer) : GetTempPathW(MAX_PATH + 2, buffer);
    if (n == 0 || n > MAX_PATH + 1) return {};
    std::wstring dir(buffer, n);
    // Drop the trailing backslash, but keep it on a bare drive root ("C:\").
    if (dir.size() > 1 && isSeparator(dir.back()) && !(dir.size() == 3 && dir[1] == L':')) dir.pop_back();
    return fromWide(dir);
}

bool pathExists(std::string_view path) {
    auto wide = toWideChecked(path);
    return wide && GetFileAttributesW(wide->c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool isPlainFile(std::string_view path) {
    auto wide = toWideChecked(path);
    if (!wide) return false;
    const DWORD attributes = GetFileAttributesW(wide->c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
}

bool isPlainFolder(std::string_view path) {
    auto wide = toWideChecked(path);
    if (!wide) return false;
    const DWORD attributes = GetFileAttributesW(wide->c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool samePathIgnoringCase(std::string_view a, std::string_view b) {
    const std::wstring wideA = toWide(a), wideB = toWide(b);
    return CompareStringOrdinal(wideA.data(), static_cast<int>(wideA.size()), wideB.data(),
                                static_cast<int>(wideB.size()), TRUE) == CSTR_EQUAL;
}

Result<std::string> absolutePath(std::string_view path) {
    auto wide = toWideChecked(path);
    if (!wide) return failWrapped("full path: ", wide.error());
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetFullPathNameW(wide->c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0) return fail(pathError("full path", path, GetLastError()));
        if (n < full.size()) {
            full.resize(n);
            return fromWide(full);
        }
        full.resize(n);  // n counts the terminator when the buffer was short
    }
}

// Walks up from the path to the first folder that exists, then makes the
// missing ones from the top down: a loop, so a path of thousands of levels
// takes no more stack than one of two. Each level stands as the caller's text
// cut short at a separator and names its own failure; a bare drive ("C:")
// is never made.
Status createDirectories(std::string_view path) {
    auto checked = toWideChecked(path);
    if (!checked) return failWrapped("mkdir: ", checked.error());
    const std::wstring wide = std::move(*checked);
    // Each level to make: its text's length in `wide` and its length once
    // trailing separators are dropped (a drive root keeps its own), the
    // deepest first.
    struct Level {
        std::size_t text, trimmed;
    };
    std::vector<Level> missing;
    std::size_t text = wide.size();
    for (;;) {
        std::size_t trimmed = text;
        while (trimmed > 1 && isSeparator(wide[trimmed - 1]) && !(trimmed == 3 && wide[1] == L':')) --trimmed;
        if (trimmed == 0 || isDirectory(wide.substr(0, trimmed))) break;
        missing.push_back({text, trimmed});
        const std::size_t sep = wide.find_last_of(L"\\/", trimmed - 1);
        if (sep == std::wstring::npos || sep == 0) break;
        if (sep == 2 && wide[1] == L':') break;  // the parent is a bare drive
        text = sep;
    }
    for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
        const std::wstring folder = wide.substr(0, level->trimmed);
        if (!CreateDirectoryW(folder.c_str(), nullptr)) {
            DWORD err = GetLastError();
            if (err == ERROR_ALREADY_EXISTS && isDirectory(folder)) continue;
            // The caller's own text at the top, as it was given.
            return fail(pathError("mkdir", level->text == wide.size() ? path : fromWide(wide.substr(0, level->text)),
                                  err));
        }
    }
    return {};
}

Status renameNoReplace(std::string_view from, std::string_view to) {
    auto oldName = toWideChecked(from);
    if (!oldName) return failWrapped("rename: ", oldName.error());
    auto newName = toWideChecked(to);
    if (!newName) return failWrapped("rename: ", newName.error());
    // Without MOVEFILE_REPLACE_EXISTING an existing entry of the new name
    // makes it fail; without MOVEFILE_COPY_ALLOWED it never copies.
    if (!MoveFileExW(oldName->c_str(), newName->c_str(), 0)) return fail(pathError("rename", from, GetLastError()));
    return {};
}

Result<Bytes> readWholeFile(std::string_view path) {
    auto wide = toWideChecked(path);
    if (!wide) return failWrapped("open: ", wide.error());
    HANDLE h = CreateFileW(wide->c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail(pathError("open", path, GetLastError()));
    Bytes data;
    LARGE_INTEGER size;
    if (GetFileSizeEx(h, &size) && size.QuadPart > 0) data.reserve(static_cast<std::size_t>(size.QuadPart));
    std::uint8_t buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(h, buffer, sizeof buffer, &got, nullptr)) {
            DWORD err = GetLastError();
            CloseHandle(h);
            return fail(pathError("read", path, err));
        }
        if (got == 0) break;
        data.insert(data.end(), buffer, buffer + got);
    }
    CloseHandle(h);
    return data;
}

Status replaceWholeFile(std::string_view path, ByteView data, unsigned mode) {
    auto wide = toWideChecked(path);
    if (!wide) return failWrapped("open: ", wide.error());
    // Opened for writing without truncating, the file at the path shows
    // whether it may be replaced. A program running from it refuses with a
    // sharing violation, the very error a truncating open gives; MoveFileExW
    // onto its image would fail only at the end, with access denied. No file
    // yet, and nothing to keep.
    HANDLE existing = CreateFileW(wide->c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (existing != INVALID_HANDLE_VALUE) {
        CloseHandle(existing);
    } else if (const DWORD err = GetLastError(); err != ERROR_FILE_NOT_FOUND) {
        return fail(pathError("open", path, err));
    }
    const std::wstring temporary = *wide + L".new-" + std::to_wstring(GetCurrentProcessId());
    auto createTemporary = [&] {
        return CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributesFor(mode), nullptr);
    };
    HANDLE h = createTemporary();
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
        // Left by an earlier process of the same id that was ended mid-way.
        removeTemporary(temporary);
        h = createTemporary();
    }
    if (h == INVALID_HANDLE_VALUE) return fail(pathError("open", path, GetLastError()));
    auto abandon = [&](std::string_view operation, DWORD err) {
        removeTemporary(temporary);
        return fail(pathError(operation, path, err));
    };
    if (const DWORD err = writeAll(h, data)) {
        CloseHandle(h);
        return abandon("write", err);
    }
    if (!FlushFileBuffers(h)) {
        const DWORD err = GetLastError();
        CloseHandle(h);
        return abandon("write", err);
    }
    if (!CloseHandle(h)) return abandon("close", GetLastError());
    // Within one folder the move is a rename: the path names the old file or
    // the new one, never a part of either.
    if (!MoveFileExW(temporary.c_str(), wide->c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return abandon("rename", GetLastError());
    return {};
}

Status removeFile(std::string_view path) {
    auto wide = toWideChecked(path);
    if (!wide) return failWrapped("remove: ", wide.error());
    if (!DeleteFileW(wide->c_str())) return fail(pathError("remove", path, GetLastError()));
    return {};
}

Result<std::string> executablePath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return fail("GetModuleFileName: " + win32Message(GetLastError()));
        if (n < buffer.size()) {
            buffer.resize(n);
            return fromWide(buffer);
        }
        if (buffer.size() >= 32768) return fail("GetModuleFileName: path too long");
        buffer.resize(buffer.size() * 2);
    }
}

Result<std::unique_ptr<AppendFile>> openAppendShared(std::string_view path) {
    auto wide = toWideChecked(path);
    if (!wide) return failWrapped("open: ", wide.error());
    // Shared for deletion too: a user may remove the log while a host runs.
    HANDLE h = CreateFileW(wide->c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail(pathError("open", path, GetLastError()));
    // A pipe or a device in the file's place (TEMP pointing into the device
    // namespace, say) may block or swallow every write; only a disk file is kept.
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return fail("open " + std::string(path) + ": not a disk file");
    }
    return std::unique_ptr<AppendFile>(new HandleAppendFile(h));
}

LocalTime localTimeNow() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

}  // namespace quillon::platform
