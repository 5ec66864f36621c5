// Overwriting memory that held a secret (the PIN) in a way the compiler may
// not drop as a dead store.
#pragma once

#include <cstddef>
#include <string>

namespace quillon {

void wipeMemory(void* data, std::size_t size);
// The whole of the string's buffer, then the string emptied.
void wipeString(std::string& s);

}  // namespace quillon
