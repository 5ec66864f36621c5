#include "platform/utf16_win.h"

#include <windows.h>

#include "common/wide_text.h"

namespace quillon::platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

std::wstring toWide(std::string_view utf8) {
    std::u16string wide = utf8ToUtf16(utf8);
    return std::wstring(wide.begin(), wide.end());
}

std::string fromWide(std::wstring_view utf16) {
    return utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(utf16.data()), utf16.size()));
}

Result<std::wstring> toWideChecked(std::string_view utf8) {
    auto wide = toWideForWindows(utf8);
    if (!wide) return fail(wide.error());
    return std::wstring(wide->begin(), wide->end());
}

std::string win32Message(unsigned long code) {
    wchar_t* buffer = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = n && buffer ? std::wstring(buffer, n) : std::wstring();
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    if (text.empty()) return "Win32 error " + std::to_string(code);
    return fromWide(text);
}

}  // namespace quillon::platform
