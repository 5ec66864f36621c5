#include "support/frames.h"

namespace quillon::testing {

std::string lengthPrefix(std::uint32_t length) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    return out;
}

std::string frameOf(std::string_view body) {
    return lengthPrefix(static_cast<std::uint32_t>(body.size())) + std::string(body);
}

std::uint32_t announcedLength(std::string_view header) {
    std::uint32_t length = 0;
    for (int i = 3; i >= 0; --i) length = length << 8 | static_cast<std::uint8_t>(header[i]);
    return length;
}

std::vector<std::string> framesOf(std::string_view bytes, std::string* rest) {
    std::vector<std::string> bodies;
    while (bytes.size() >= 4) {
        std::uint32_t length = announcedLength(bytes);
        if (bytes.size() - 4 < length) break;
        bodies.emplace_back(bytes.substr(4, length));
        bytes.remove_prefix(4 + length);
    }
    if (rest) *rest = std::string(bytes);
    return bodies;
}

std::optional<std::vector<std::string>> splitFrames(std::string_view bytes) {
    std::string rest;
    auto bodies = framesOf(bytes, &rest);
    if (!rest.empty()) return std::nullopt;
    return bodies;
}

}  // namespace quillon::testing
