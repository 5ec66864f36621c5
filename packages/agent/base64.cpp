#include "base64.h"

#include <array>

#include "format.h"

namespace quillon {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> makeDecodeTable() {
    std::array<std::int8_t, 256> table{};
    for (auto& v : table) v = -1;
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    return table;
}
constexpr auto kDecode = makeDecodeTable();

Error illegalAt(size_t position) { return newError(sformat("illegal base64 data at input byte %d", position)); }

bool isLineBreak(char c) { return c == '\r' || c == '\n'; }

}  // namespace

std::string base64Encode(ByteView data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        std::uint32_t v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (size_t rest = data.size() - i) {
        std::uint32_t v = data[i] << 16;
        if (rest == 2) v |= data[i + 1] << 8;
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

Result<Bytes> base64Decode(std::string_view text) {
    Bytes out;
    out.reserve(text.size() / 4 * 3 + 3);
    std::uint32_t quad = 0;  // the sextets of the group being read
    int filled = 0;          // how many of the group's four characters have arrived
    size_t i = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (isLineBreak(c)) continue;
        if (c == '=') break;
        std::int8_t v = kDecode[static_cast<unsigned char>(c)];
        if (v < 0) return fail(illegalAt(i));
        quad = (quad << 6) | static_cast<std::uint32_t>(v);
        if (++filled == 4) {
            out.push_back(static_cast<std::uint8_t>(quad >> 16));
            out.push_back(static_cast<std::uint8_t>(quad >> 8));
            out.push_back(static_cast<std::uint8_t>(quad));
            quad = 0;
            filled = 0;
        }
    }
    if (i == text.size()) {
        if (filled != 0) return fail(illegalAt(text.size()));  // last group left incomplete
        return out;
    }
    // Padding at text[i]: only after two or three characters of a group.
    if (filled < 2) return fail(illegalAt(i));
    size_t padsNeeded = 4 - static_cast<size_t>(filled);
    size_t pads = 0;
    for (; i < text.size() && pads < padsNeeded; ++i) {
        if (isLineBreak(text[i])) continue;
        if (text[i] != '=') return fail(illegalAt(i));
        ++pads;
    }
    if (pads < padsNeeded) return fail(illegalAt(text.size()));
    for (; i < text.size(); ++i)
        if (!isLineBreak(text[i])) return fail(illegalAt(i));  // nothing may follow the padding
    if (filled == 2) {
        out.push_back(static_cast<std::uint8_t>(quad >> 4));
    } else {
        out.push_back(static_cast<std::uint8_t>(quad >> 10));
        out.push_back(static_cast<std::uint8_t>(quad >> 2));
    }
    return out;
}

}  // namespace quillon
