// POSIX stand-in for module loading: the path arrives in Windows form and is
// turned into the host's form only here. Modules are never unloaded.
#include "platform/dynlib.h"

#include <dlfcn.h>

#include <algorithm>
#include <string>

namespace quillon::platform {

Result<LibraryHandle> loadLibrary(std::string_view path) {
    std::string hostPath(path);
    std::replace(hostPath.begin(), hostPath.end(), '\\', '/');
    void* handle = dlopen(hostPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        return fail(why ? std::string(why) : std::string("dlopen failed"));
    }
    return handle;
}

void* findSymbol(LibraryHandle library, const char* name) {
    if (!library) return nullptr;
    return dlsym(library, name);
}

}  // namespace quillon::platform
