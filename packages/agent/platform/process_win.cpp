#include <windows.h>

#include <string>

#include "common/wide_text.h"
#include "platform/process.h"
#include "platform/utf16_win.h"

namespace quillon::platform {

namespace {

std::wstring systemFolderWide() {
    std::wstring folder(MAX_PATH, L'\0');
    for (;;) {
        const UINT length = GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
        if (length == 0) return {};
        if (length < folder.size()) {
            folder.resize(length);
            return folder;
        }
        folder.resize(length);  // length counts the terminator when the buffer was short
    }
}

}  // namespace

Result<std::string> systemFolder() {
    const std::wstring folder = systemFolderWide();
    if (folder.empty()) return fail("GetSystemDirectory: " + win32Message(GetLastError()));
    return fromWide(folder);
}

void runDetachedCmd(std::string_view command) {
    HMODULE kernel32 = LoadLibraryExW(L"kernel32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!kernel32) return;
    auto line = toWideForWindows(interpreterCommandLine(command));  // writable, as Windows wants
    if (!line) return;
    auto create = reinterpret_cast<decltype(&CreateProcessW)>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "CreateProcessW")));
    if (!create) return;
    // The interpreter is named by its full path in the system folder: left to
    // the search by its first word, a cmd.exe planted next to this program or
    // in the current folder would run instead.
    const std::wstring system = systemFolderWide();
    if (system.empty()) return;
    const std::wstring interpreter = system + L"\\cmd.exe";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    // The system folder as its current folder: a folder that is some
    // process's current folder cannot be removed, and the install folder is
    // this one's when --uninstall is typed there.
    if (create(interpreter.c_str(), reinterpret_cast<wchar_t*>(line->data()), nullptr, nullptr, FALSE,
               CREATE_NO_WINDOW, nullptr, system.c_str(), &startup, &started)) {
        // The child runs on its own; its handles are of no further use.
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
    }
}

}  // namespace quillon::platform
