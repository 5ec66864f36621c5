// Frames as a browser writes and reads them, for tests and benchmarks: the
// one encoder and splitter they share. Written apart from the agent's own
// framing so that a fault there cannot hide behind the same fault here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::testing {

// A frame header announcing `length` bytes: 4 little-endian bytes.
std::string lengthPrefix(std::uint32_t length);
// A frame: the body's length as 4 little-endian bytes, then the body.
std::string frameOf(std::string_view body);
// The length that a frame header (at least 4 bytes) announces.
std::uint32_t announcedLength(std::string_view header);

// The bodies of back-to-back frames; the trailing bytes that make no whole
// frame go to `rest`.
std::vector<std::string> framesOf(std::string_view bytes, std::string* rest = nullptr);
// The bodies of back-to-back frames; nullopt when the bytes do not end
// exactly at a frame boundary.
std::optional<std::vector<std::string>> splitFrames(std::string_view bytes);

}  // namespace quillon::testing
