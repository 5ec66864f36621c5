// Loading PKCS#11 modules. Modules are never unloaded.
#pragma once

#include <string_view>

#include "common/error.h"

namespace quillon::platform {

using LibraryHandle = void*;

// Windows: LoadLibraryExW of the UTF-16 path with the altered search order
// (the module's folder first for the DLLs it imports).
// POSIX: dlopen of the path in host form.
Result<LibraryHandle> loadLibrary(std::string_view path);
void* findSymbol(LibraryHandle library, const char* name);

}  // namespace quillon::platform
