// The request loop over in-memory streams: first the input as the raw byte
// stream (frames and all), then the input as one frame's body followed by a
// ping. The second run must give exactly two replies, each one valid JSON,
// the last the pong.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "host/handlers.h"
#include "support/memory_streams.h"

namespace {

using namespace quillon;

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    {
        testing::MemoryInput in(bytes);
        testing::MemoryOutput out;
        serveRequests(in, out);
        check(testing::splitFrames(out.bytes).has_value());
    }

    testing::MemoryInput in(testing::frameOf(bytes) + testing::frameOf(R"({"type":"QUILLON_PING"})"));
    testing::MemoryOutput out;
    serveRequests(in, out);
    auto replies = testing::splitFrames(out.bytes);
    check(replies.has_value() && replies->size() == 2);
    for (const std::string& reply : *replies) {
        // nlohmann-json refuses invalid UTF-8: an independent check of the writer.
        auto json = nlohmann::json::parse(reply, nullptr, false);
        check(!json.is_discarded() && json.is_object() && json.contains("type"));
    }
    check(replies->back() == R"({"type":"QUILLON_PONG","version":"1.1.2"})");
    return 0;
}
