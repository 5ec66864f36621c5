#include "common/base64.h"

#include <array>

#include "common/format.h"

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

// The quick path's tables: a character's sextet already shifted to its place
// in the 24 bits of a group, and kNotSextet (above those bits) for anything
// else, so that one test over a whole group finds any character that needs
// the careful path (line break, padding or fault).
constexpr std::uint32_t kNotSextet = 1u << 24;
constexpr std::array<std::uint32_t, 256> makeShiftedTable(int shift) {
    std::array<std::uint32_t, 256> table{};
    for (int c = 0; c < 256; ++c)
        table[c] = kDecode[c] < 0 ? kNotSextet : static_cast<std::uint32_t>(kDecode[c]) << shift;
    return table;
}
constexpr auto kSextet0 = makeShiftedTable(18);
constexpr auto kSextet1 = makeShiftedTable(12);
constexpr auto kSextet2 = makeShiftedTable(6);
constexpr auto kSextet3 = makeShiftedTable(0);

Error illegalAt(size_t position) { return newError(sformat("illegal base64 data at input byte %d", position)); }

bool isLineBreak(char c) { return c == '\r' || c == '\n'; }

// The three bytes a whole group's 24 bits stand for.
inline void putGroup(std::uint32_t bits, std::uint8_t* out) {
    out[0] = static_cast<std::uint8_t>(bits >> 16);
    out[1] = static_cast<std::uint8_t>(bits >> 8);
    out[2] = static_cast<std::uint8_t>(bits);
}

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

Result<std::size_t> Base64Decoder::decode(std::string_view piece, std::uint8_t* out) {
    const auto* text = reinterpret_cast<const unsigned char*>(piece.data());
    const std::size_t size = piece.size();
    std::size_t written = 0;
    std::size_t i = 0;
    auto position = [&] { return offset_ + i; };
    while (i < size) {
        if (phase_ == Phase::Data && filled_ == 0) {
            // Whole groups without anything special: four lookups, three bytes.
            for (; size - i >= 4; i += 4) {
                const std::uint32_t v = kSextet0[text[i]] | kSextet1[text[i + 1]] | kSextet2[text[i + 2]] |
                                        kSextet3[text[i + 3]];
                if (v & ~0xFFFFFFu) break;
                putGroup(v, out + written);
                written += 3;
            }
            if (i == size) break;
        }
        // One character the careful way.
        const unsigned char c = text[i];
        if (isLineBreak(static_cast<char>(c))) {
            ++i;
            continue;
        }
        switch (phase_) {
            case Phase::Data: {
                if (c == '=') {
                    // Padding: only after two or three characters of a group.
                    if (filled_ < 2) return fail(illegalAt(position()));
                    phase_ = Phase::Padding;
                    padsNeeded_ = 4 - filled_;
                    continue;  // this '=' is counted as padding
                }
                const std::int8_t v = kDecode[c];
                if (v < 0) return fail(illegalAt(position()));
                quad_ = (quad_ << 6) | static_cast<std::uint32_t>(v);
                if (++filled_ == 4) {
                    putGroup(quad_, out + written);
                    written += 3;
                    quad_ = 0;
                    filled_ = 0;
                }
                break;
            }
            case Phase::Padding:
                if (c != '=') return fail(illegalAt(position()));
                if (--padsNeeded_ == 0) {
                    if (filled_ == 2) {
                        out[written++] = static_cast<std::uint8_t>(quad_ >> 4);
                    } else {
                        out[written++] = static_cast<std::uint8_t>(quad_ >> 10);
                        out[written++] = static_cast<std::uint8_t>(quad_ >> 2);
                    }
                    phase_ = Phase::AfterPadding;
                }
                break;
            case Phase::AfterPadding:
                return fail(illegalAt(position()));  // nothing may follow the padding
        }
        ++i;
    }
    offset_ += size;
    return written;
}

Status Base64Decoder::finish() const {
    // The last group left incomplete, or its padding cut short.
    if ((phase_ == Phase::Data && filled_ != 0) || phase_ == Phase::Padding) return fail(illegalAt(offset_));
    return {};
}

}  // namespace quillon
