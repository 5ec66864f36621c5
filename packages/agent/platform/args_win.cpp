#include <windows.h>

#include "common/wide_text.h"
#include "platform/args.h"

namespace quillon::platform {

std::vector<std::string> programArguments() {
    // shell32 holds the splitter; it is taken from the system folder only.
    HMODULE shell32 = LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!shell32) return {};
    using SplitFn = LPWSTR*(WINAPI*)(LPCWSTR, int*);
    auto split = reinterpret_cast<SplitFn>(
        reinterpret_cast<void*>(GetProcAddress(shell32, "CommandLineToArgvW")));
    if (!split) return {};
    int count = 0;
    LPWSTR* argv = split(GetCommandLineW(), &count);
    if (!argv) return {};
    std::vector<std::string> arguments;
    for (int i = 1; i < count; ++i)
        arguments.push_back(utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
    LocalFree(argv);
    return arguments;
}

}  // namespace quillon::platform
