// UTF-8 <-> UTF-16 at the Win32 boundary (Windows builds only).
#pragma once

#include <string>
#include <string_view>

namespace quillon::platform {

std::wstring toWide(std::string_view utf8);
std::string fromWide(std::wstring_view utf16);

// The system's message for a Win32 error code, without the trailing line break.
std::string win32Message(unsigned long code);

}  // namespace quillon::platform
