#include "host/framing.h"

#include <algorithm>
#include <new>
#include <utility>

#include "common/format.h"
#include "common/wipe.h"
#include "platform/memory.h"

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

Error noMemoryFor(std::size_t length) { return newError(sformat("no memory for a message of %d bytes", length)); }

}  // namespace

MessageBody::MessageBody(MessageBody&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      reserved_(std::exchange(other.reserved_, 0)),
      committed_(std::exchange(other.committed_, 0)),
      size_(std::exchange(other.size_, 0)),
      onHeap_(std::exchange(other.onHeap_, false)) {}

MessageBody& MessageBody::operator=(MessageBody&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        reserved_ = std::exchange(other.reserved_, 0);
        committed_ = std::exchange(other.committed_, 0);
        size_ = std::exchange(other.size_, 0);
        onHeap_ = std::exchange(other.onHeap_, false);
    }
    return *this;
}

MessageBody::~MessageBody() { release(); }

bool MessageBody::reserve(std::size_t size) {
    onHeap_ = size <= kHeapBodyLimit;
    data_ = onHeap_ ? new (std::nothrow) char[size] : static_cast<char*>(platform::reserveAddressSpace(size));
    reserved_ = data_ ? size : 0;
    return data_ != nullptr;
}

bool MessageBody::commit(std::size_t size) {
    if (size > reserved_ || (!onHeap_ && !platform::commitAddressSpace(data_, size))) return false;
    committed_ = size;
    return true;
}

void MessageBody::release() {
    if (data_ && onHeap_) {
        wipeMemory(data_, reserved_);
        delete[] data_;
    } else if (data_) {
        platform::releaseAddressSpace(data_, reserved_);
    }
    data_ = nullptr;
    reserved_ = committed_ = size_ = 0;
    onHeap_ = false;
}

Result<MessageBody> readMessage(platform::InputStream& in) {
    std::uint8_t header[4];
    auto got = readFull(in, header, sizeof header);
    if (!got) return fail(got.error());
    if (*got < sizeof header) return fail(endOfStream(*got));

    std::uint32_t length = std::uint32_t(header[0]) | std::uint32_t(header[1]) << 8 |
                           std::uint32_t(header[2]) << 16 | std::uint32_t(header[3]) << 24;
    if (length > kMaxIncomingBody)
        return fail(sformat("message length %d exceeds the limit of %d bytes", length, kMaxIncomingBody));

    MessageBody body;
    if (length == 0) return body;
    if (!body.reserve(length)) return fail(noMemoryFor(length));
    while (body.size_ < length) {
        const std::size_t filled = body.size_;
        const std::size_t target = filled == 0 ? std::min<std::size_t>(length, kFirstBodyBuffer)
                                               : std::min<std::size_t>(length, 2 * filled);
        if (!body.commit(target)) return fail(noMemoryFor(length));
        auto n = readFull(in, reinterpret_cast<std::uint8_t*>(body.data_) + filled, target - filled);
        if (!n) return fail(n.error());
        body.size_ += *n;
        if (body.size_ < target) return fail(endOfStream(body.size_));
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
