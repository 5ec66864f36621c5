// Module loading on Windows. Modules are never unloaded.
#include "platform/dynlib.h"

#include <windows.h>

#include <string>

#include "common/format.h"
#include "platform/utf16_win.h"

namespace quillon::platform {

Result<LibraryHandle> loadLibrary(std::string_view path) {
    auto wide = toWideChecked(path);
    if (!wide) return failWrapped("LoadLibrary: ", wide.error());
    // The altered search order looks for the module's own dependencies in its
    // folder first: vendor middleware ships its helper DLLs beside the module.
    HMODULE module = LoadLibraryExW(wide->c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) return fail(sformat("LoadLibrary: %d", static_cast<long long>(GetLastError())));
    return reinterpret_cast<LibraryHandle>(module);
}

void* findSymbol(LibraryHandle library, const char* name) {
    if (!library) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(library), name));
}

}  // namespace quillon::platform
