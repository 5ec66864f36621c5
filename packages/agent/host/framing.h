// Native-messaging frames: a 4-byte little-endian length, then that many
// bytes of UTF-8 JSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"
#include "protocol/messages.h"
#include "platform/stdio.h"

namespace quillon {

// The largest incoming body accepted. A larger announced length is a failed
// read: no buffer is obtained and the body is not read. Browsers send at most
// 64 MiB; the bound is four times that, room to spare for any caller, while a
// header that announces up to 4 GiB still cannot make the agent take it.
inline constexpr std::uint32_t kMaxIncomingBody = 256u * 1024u * 1024u;

// Bodies up to this size, the most a browser sends, get memory for their
// exact length at once; for longer ones the memory grows (doubling, in place)
// as their bytes actually arrive, so a peer that announces a huge body and
// then sends little cannot make us hold memory for bytes that never come.
inline constexpr std::size_t kFirstBodyBuffer = 64u * 1024u * 1024u;

// Bodies up to this size, every ping, listing and single signature of a
// usual document, take an ordinary heap block, wiped when the body goes:
// address space of their own would cost a few system calls and a page fault
// per request, more than the rest of a ping's work.
inline constexpr std::size_t kHeapBodyLimit = 64u * 1024u;

// One frame's body. A large one lies in address space of its own: reserved
// for the announced length, so that it fills in place without a copy, and
// given back to the system as a whole when the body goes, taking any secret
// the request carried with it. A small one is a heap block, wiped first.
class MessageBody {
public:
    MessageBody() = default;
    MessageBody(MessageBody&& other) noexcept;
    MessageBody& operator=(MessageBody&& other) noexcept;
    ~MessageBody();

    // No conversion to text on its own: a silent copy would keep the bytes
    // (and any PIN) beyond the body's life.
    std::string_view view() const { return {data_ ? data_ : "", size_}; }
    // The bytes of memory it holds: never more than its length.
    std::size_t capacity() const { return committed_; }

private:
    friend Result<MessageBody> readMessage(platform::InputStream& in);
    bool reserve(std::size_t size);
    bool commit(std::size_t size);
    void release();

    char* data_ = nullptr;
    std::size_t reserved_ = 0, committed_ = 0, size_ = 0;
    bool onHeap_ = false;
};

// One frame's body; errors "EOF", "unexpected EOF", a read failure, a
// length above kMaxIncomingBody, or no memory for the body.
Result<MessageBody> readMessage(platform::InputStream& in);

// Writes the length (one write) and the body (one write).
Status writeFrame(platform::OutputStream& out, std::string_view body);

template <class Record>
Status writeMessage(platform::OutputStream& out, const Record& record) {
    return writeFrame(out, encodeMessage(record));
}

}  // namespace quillon
