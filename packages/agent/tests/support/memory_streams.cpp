#include "support/memory_streams.h"

#include <algorithm>
#include <cstring>

namespace quillon::testing {

MemoryInput::MemoryInput(std::string data, std::size_t maxChunk) : data_(std::move(data)), maxChunk_(maxChunk) {}

Result<std::size_t> MemoryInput::read(std::uint8_t* buffer, std::size_t size) {
    ++reads;
    destinations.push_back(buffer);
    largestRequest = std::max(largestRequest, size);
    std::size_t n = std::min({size, maxChunk_, data_.size() - pos_});
    if (n == 0 && size > 0 && failureAtEnd) return fail(*failureAtEnd);
    std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    return n;
}

Status MemoryOutput::write(const std::uint8_t* data, std::size_t size) {
    ++writes;
    if (failing) return fail("write: broken pipe");
    bytes.append(reinterpret_cast<const char*>(data), size);
    return {};
}

std::string lengthPrefix(std::uint32_t length) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    return out;
}

std::string frameOf(std::string_view body) {
    return lengthPrefix(static_cast<std::uint32_t>(body.size())) + std::string(body);
}

std::optional<std::vector<std::string>> splitFrames(std::string_view bytes) {
    std::vector<std::string> bodies;
    while (!bytes.empty()) {
        if (bytes.size() < 4) return std::nullopt;
        std::uint32_t length = 0;
        for (int i = 3; i >= 0; --i) length = length << 8 | static_cast<std::uint8_t>(bytes[i]);
        if (bytes.size() - 4 < length) return std::nullopt;
        bodies.emplace_back(bytes.substr(4, length));
        bytes.remove_prefix(4 + length);
    }
    return bodies;
}

}  // namespace quillon::testing
