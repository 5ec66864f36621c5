#include "framing.h"

#include <algorithm>
#include <cstring>

#include "format.h"

namespace quillon {
namespace {

// Reads until `size` bytes are in or the stream ends; gives how many arrived.
Result<std::size_t> readFull(platform::InputStream& in, std::uint8_t* buffer, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        auto n = in.read(buffer + got, size - got);
        if (!n) return fail(n.error());
        if (*n == 0) break;
        got += *n;
    }
    return got;
}

Error endOfStream(std::size_t bytesOfThisPart) {
    return newError(bytesOfThisPart == 0 ? "EOF" : "unexpected EOF");
}

// Resizes to exactly `size` without holding more capacity than that, keeping
// what the buffer held and leaving the new tail unset: the caller fills it
// from the stream before any use, and drops the buffer if the stream fails.
// (Reserving first matters: libstdc++ 12 hands the callback the grown
// capacity instead of the requested size when the call itself allocates.)
void growExactly(std::string& buffer, std::size_t size) {
    std::string bigger;
    bigger.reserve(size);
    bigger.resize_and_overwrite(size, [&](char* p, std::size_t n) {
        std::memcpy(p, buffer.data(), buffer.size());
        return n;
    });
    buffer.swap(bigger);
}

}  // namespace

Result<std::string> readMessage(platform::InputStream& in) {
    std::uint8_t header[4];
    auto got = readFull(in, header, sizeof header);
    if (!got) return fail(got.error());
    if (*got < sizeof header) return fail(endOfStream(*got));

    std::uint32_t length = std::uint32_t(header[0]) | std::uint32_t(header[1]) << 8 |
                           std::uint32_t(header[2]) << 16 | std::uint32_t(header[3]) << 24;
    if (length > kMaxIncomingBody)
        return fail(sformat("message length %d exceeds the limit of %d bytes", length, kMaxIncomingBody));

    std::string body;
    std::size_t filled = 0;
    while (filled < length) {
        std::size_t target = filled == 0 ? std::min<std::size_t>(length, kFirstBodyBuffer)
                                         : std::min<std::size_t>(length, 2 * filled);
        growExactly(body, target);
        auto n = readFull(in, reinterpret_cast<std::uint8_t*>(body.data()) + filled, target - filled);
        if (!n) return fail(n.error());
        filled += *n;
        if (filled < target) return fail(endOfStream(filled));
    }
    return body;
}

Status writeFrame(platform::OutputStream& out, std::string_view body) {
    if (body.size() > 0xFFFFFFFFu)
        return fail(sformat("reply of %d bytes is too large for one frame", body.size()));
    auto length = static_cast<std::uint32_t>(body.size());
    const std::uint8_t header[4] = {std::uint8_t(length), std::uint8_t(length >> 8), std::uint8_t(length >> 16),
                                    std::uint8_t(length >> 24)};
    if (auto written = out.write(header, sizeof header); !written) return written;
    return out.write(reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
}

}  // namespace quillon
