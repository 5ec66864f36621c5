// Texts at the Win32 boundary (Windows builds only): UTF-8 inside the
// program, UTF-16 for the W procedures.
#pragma once

#include <string>
#include <string_view>

#include "common/error.h"

namespace quillon::platform {

std::wstring toWide(std::string_view utf8);
std::string fromWide(std::wstring_view utf16);
// For a path or name given to a W procedure: a NUL inside would silently
// cut it short there, so such a text is refused.
Result<std::wstring> toWideChecked(std::string_view utf8);

// The system's message for a Win32 error code, without the trailing line break.
std::string win32Message(unsigned long code);

}  // namespace quillon::platform
