// Module loading on Windows. The path's UTF-8 bytes go to LoadLibraryA
// unconverted, so a non-ASCII path loads only where the ANSI code page is
// UTF-8. Modules are never unloaded.
#include "dynlib.h"

#include <windows.h>

#include <string>

#include "../format.h"

namespace quillon::platform {

Result<LibraryHandle> loadLibrary(std::string_view path) {
    std::string text(path);
    HMODULE module = LoadLibraryA(text.c_str());
    if (!module) return fail(sformat("LoadLibrary: %d", static_cast<long long>(GetLastError())));
    return reinterpret_cast<LibraryHandle>(module);
}

void* findSymbol(LibraryHandle library, const char* name) {
    if (!library) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(library), name));
}

}  // namespace quillon::platform
