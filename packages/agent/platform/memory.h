// Address space reserved for a known size and made usable from its start as
// needed: a buffer that grows without ever moving what it already holds.
#pragma once

#include <cstddef>

namespace quillon::platform {

// `size` bytes of address space that hold no memory yet; null on failure.
void* reserveAddressSpace(std::size_t size);
// Makes the first `size` bytes of a reservation usable (zero-filled pages
// where they are new); false on failure.
bool commitAddressSpace(void* base, std::size_t size);
// Gives the whole reservation back to the system.
void releaseAddressSpace(void* base, std::size_t size);

}  // namespace quillon::platform
