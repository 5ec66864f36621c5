// Native-messaging frames: a 4-byte little-endian length, then that many
// bytes of UTF-8 JSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "error.h"
#include "messages.h"
#include "platform/stdio.h"

namespace quillon {

// The largest incoming body accepted. A larger announced length is a failed
// read: no buffer is obtained and the body is not read. Browsers send at most
// 64 MiB; the bound is kept near that because a batch body of many tiny items
// decodes into records about thirty times its own size.
inline constexpr std::uint32_t kMaxIncomingBody = 256u * 1024u * 1024u;

// Bodies up to this size, the most a browser sends, get one buffer of their
// exact length at once; longer ones grow (doubling) as their bytes actually
// arrive, so a peer that announces a huge body and then sends little cannot
// make us hold memory for bytes that never come.
inline constexpr std::size_t kFirstBodyBuffer = 64u * 1024u * 1024u;

// One frame's body; errors "EOF", "unexpected EOF", a read failure, or a
// length above kMaxIncomingBody.
Result<std::string> readMessage(platform::InputStream& in);

// Writes the length (one write) and the body (one write).
Status writeFrame(platform::OutputStream& out, std::string_view body);

template <class Record>
Status writeMessage(platform::OutputStream& out, const Record& record) {
    return writeFrame(out, encodeMessage(record));
}

}  // namespace quillon
