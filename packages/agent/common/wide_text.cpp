#include "common/wide_text.h"

#include <cstdint>

#include "common/utf8.h"

namespace quillon {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

char32_t decodeWellFormed(const unsigned char* p, std::size_t length) {
    static constexpr unsigned char kLeadMask[] = {0, 0, 0x1F, 0x0F, 0x07};
    char32_t cp = p[0] & kLeadMask[length];
    for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (p[k] & 0x3F);
    return cp;
}

}  // namespace

std::u16string utf8ToUtf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* end = p + utf8.size();
    while (p < end) {
        if (*p < 0x80) {
            out += static_cast<char16_t>(*p++);
            continue;
        }
        const std::size_t length = wellFormedUtf8Length(p, end);
        if (length == 0) {
            out += kReplacement;
            ++p;
            continue;
        }
        char32_t cp = decodeWellFormed(p, length);
        p += length;
        if (cp < 0x10000) {
            out += static_cast<char16_t>(cp);
        } else {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 | (cp >> 10));
            out += static_cast<char16_t>(0xDC00 | (cp & 0x3FF));
        }
    }
    return out;
}

std::string utf16ToUtf8(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        const char16_t u = utf16[i];
        const bool high = u >= 0xD800 && u <= 0xDBFF;
        if (high && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((std::uint32_t(u) - 0xD800) << 10) + (utf16[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            appendUtf8(out, kReplacement);
        } else {
            appendUtf8(out, u);
        }
    }
    return out;
}

Result<std::u16string> toWideForWindows(std::string_view utf8) {
    if (utf8.find('\0') != std::string_view::npos)
        return fail("text holds a NUL character and cannot be passed to Windows");
    return utf8ToUtf16(utf8);
}

}  // namespace quillon
