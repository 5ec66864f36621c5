// Loading PKCS#11 modules. Modules are never unloaded.
#pragma once

#include <string_view>

#include "../error.h"

namespace quillon::platform {

using LibraryHandle = void*;

// Windows: LoadLibraryA with the path's UTF-8 bytes unconverted.
// POSIX: dlopen of the path in host form.
Result<LibraryHandle> loadLibrary(std::string_view path);
void* findSymbol(LibraryHandle library, const char* name);

}  // namespace quillon::platform
