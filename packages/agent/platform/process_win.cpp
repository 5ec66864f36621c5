#include <windows.h>

#include <string>

#include "../wide_text.h"
#include "process.h"

namespace quillon::platform {

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
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    const std::wstring interpreter = std::wstring(system, length) + L"\\cmd.exe";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (create(interpreter.c_str(), reinterpret_cast<wchar_t*>(line->data()), nullptr, nullptr, FALSE,
               CREATE_NO_WINDOW, nullptr, nullptr, &startup, &started)) {
        // The child runs on its own; its handles are of no further use.
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
    }
}

}  // namespace quillon::platform
