#include "platform/memory.h"

#include <sys/mman.h>
#include <unistd.h>

namespace quillon::platform {

void* reserveAddressSpace(std::size_t size) {
    void* p = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

bool commitAddressSpace(void* base, std::size_t size) {
    static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return ::mprotect(base, (size + page - 1) / page * page, PROT_READ | PROT_WRITE) == 0;
}

void releaseAddressSpace(void* base, std::size_t size) { ::munmap(base, size); }

}  // namespace quillon::platform
