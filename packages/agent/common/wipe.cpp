#include "common/wipe.h"

#include <openssl/crypto.h>

namespace quillon {

void wipeMemory(void* data, std::size_t size) {
    if (size > 0) OPENSSL_cleanse(data, size);
}

void wipeString(std::string& s) {
    // An earlier, longer content may lie beyond the current size: taking the
    // whole capacity into the string (which never reallocates) reaches it.
    s.resize(s.capacity());
    wipeMemory(s.data(), s.size());
    s.clear();
}

}  // namespace quillon
