#include "common/json_write.h"

#include <array>
#include <cstdint>

#include "common/utf8.h"

namespace quillon {
namespace {

// true for the bytes that can be copied to the output as they stand.
constexpr std::array<bool, 256> makePlainTable() {
    std::array<bool, 256> t{};
    for (int b = 0x20; b < 0x80; ++b) t[b] = true;
    t['"'] = t['\\'] = t['<'] = t['>'] = t['&'] = false;
    return t;
}
constexpr std::array<bool, 256> kPlain = makePlainTable();

void appendUnicodeEscape(std::string& out, unsigned value) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u";
    out += kHex[(value >> 12) & 0xF];
    out += kHex[(value >> 8) & 0xF];
    out += kHex[(value >> 4) & 0xF];
    out += kHex[value & 0xF];
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    out += '"';
    while (p < end) {
        const auto* run = p;
        while (p < end && kPlain[*p]) ++p;
        out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
        if (p == end) break;

        const unsigned char b = *p;
        switch (b) {
            case '"': out += "\\\""; ++p; continue;
            case '\\': out += "\\\\"; ++p; continue;
            case '\b': out += "\\b"; ++p; continue;
            case '\f': out += "\\f"; ++p; continue;
            case '\n': out += "\\n"; ++p; continue;
            case '\r': out += "\\r"; ++p; continue;
            case '\t': out += "\\t"; ++p; continue;
            default: break;
        }
        if (b < 0x80) {  // other control characters and < > &
            appendUnicodeEscape(out, b);
            ++p;
            continue;
        }
        const std::size_t n = wellFormedUtf8Length(p, end);
        if (n == 0) {
            out += "\\ufffd";
            ++p;
        } else if (n == 3 && p[0] == 0xE2 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9)) {
            // Line and paragraph separators end a line in JavaScript source.
            appendUnicodeEscape(out, p[2] == 0xA8 ? 0x2028 : 0x2029);
            p += 3;
        } else {
            out.append(reinterpret_cast<const char*>(p), n);
            p += n;
        }
    }
    out += '"';
}

}  // namespace quillon
