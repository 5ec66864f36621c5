// In-memory stand-ins for standard input and output, for driving the framing
// and the request loop without a process (frames from support/frames.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/stdio.h"
#include "support/frames.h"

namespace quillon::testing {

// Hands out `data` at most `maxChunk` bytes per read (1 gives byte-by-byte
// delivery). When the data is used up it reports the end of the stream, or
// fails with `failureAtEnd` when one is set.
class MemoryInput final : public platform::InputStream {
public:
    explicit MemoryInput(std::string data, std::size_t maxChunk = std::numeric_limits<std::size_t>::max());
    Result<std::size_t> read(std::uint8_t* buffer, std::size_t size) override;

    std::optional<std::string> failureAtEnd;
    std::size_t reads = 0;           // calls of read
    std::size_t largestRequest = 0;  // the largest `size` asked for
    std::vector<const std::uint8_t*> destinations;  // where each read was to put its bytes

private:
    std::string data_;
    std::size_t maxChunk_;
    std::size_t pos_ = 0;
};

// Collects every byte written; fails every write while `failing` is set.
class MemoryOutput final : public platform::OutputStream {
public:
    Status write(const std::uint8_t* data, std::size_t size) override;

    std::string bytes;
    std::size_t writes = 0;
    bool failing = false;
};

}  // namespace quillon::testing
