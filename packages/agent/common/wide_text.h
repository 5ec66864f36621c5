// UTF-8 <-> UTF-16, the two text forms at the boundary with Windows' wide
// procedures. Shared so the byte sizes the registry is given can be checked
// on every platform.
#pragma once

#include <string>
#include <string_view>

#include "common/error.h"

namespace quillon {

// Each byte that is not part of a well-formed UTF-8 sequence becomes U+FFFD;
// characters beyond U+FFFF become surrogate pairs.
std::u16string utf8ToUtf16(std::string_view utf8);

// Unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(std::u16string_view utf16);

// A fresh NUL-terminated UTF-16 copy for a W procedure. A text holding a NUL
// would be cut short there, so it is refused instead.
Result<std::u16string> toWideForWindows(std::string_view utf8);

}  // namespace quillon
