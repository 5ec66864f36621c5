#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline ByteView asBytes(std::string_view s) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}
inline std::string_view asText(ByteView b) {
    return std::string_view(reinterpret_cast<const char*>(b.data()), b.size());
}

// A byte as two upper-case hex digits, the way error texts and the log name
// a byte that cannot be shown as it is.
inline void appendHexByte(std::string& out, std::uint8_t byte) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xF];
}

}  // namespace quillon
