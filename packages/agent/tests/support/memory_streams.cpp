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

}  // namespace quillon::testing
