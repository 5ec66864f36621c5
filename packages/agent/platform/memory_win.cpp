#include "platform/memory.h"

#include <windows.h>

namespace quillon::platform {

void* reserveAddressSpace(std::size_t size) { return ::VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS); }

bool commitAddressSpace(void* base, std::size_t size) {
    return ::VirtualAlloc(base, size, MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

void releaseAddressSpace(void* base, std::size_t) { ::VirtualFree(base, 0, MEM_RELEASE); }

}  // namespace quillon::platform
