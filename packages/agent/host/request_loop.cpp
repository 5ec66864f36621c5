#include <cstddef>
#include <cstdint>
#include <exception>

#include "common/format.h"
#include "host/framing.h"
#include "host/handlers.h"
#include "log/log.h"

namespace quillon {
namespace {

// The reply to a request that failed on an exception, most likely for want of
// memory. Spelled out in advance: building a reply may need the memory that
// just ran out.
constexpr std::string_view kInternalFailureReply =
    R"({"type":"ERROR","error":"erro interno: não foi possível atender o pedido"})";

void dispatch(std::string_view body, platform::OutputStream& out) {
    auto base = decodeBaseMessage(body);
    if (!base) return writeError(out, sformat("json inválido: %v", base.error()));
    const std::string& type = base->Type;
    if (type == kTypePing)
        (void)writeMessage(out, PongResponse{std::string(kTypePong), std::string(kVersion)});
    else if (type == kTypeListCerts)
        handleListCerts(out);
    else if (type == kTypeAgentSign)
        handleAgentSign(body, out);
    else if (type == kTypeAgentSignBatch)
        handleAgentSignBatch(body, out);
    else
        writeError(out, sformat("tipo não suportado: %s", type));
}

// A log line that may be lost when memory runs short; the caller goes on.
void logWithoutThrowing(std::string_view format, const char* what) noexcept {
    try {
        logf(format, what);
    } catch (...) {
    }
}

// Notes whether anything was written through it.
class WatchedOutput final : public platform::OutputStream {
public:
    explicit WatchedOutput(platform::OutputStream& out) : out_(out) {}
    Status write(const std::uint8_t* data, std::size_t size) override {
        used = true;
        return out_.write(data, size);
    }
    bool used = false;

private:
    platform::OutputStream& out_;
};

// A request that throws gets the failure reply in place of its own, unless its
// reply already went out (replies are encoded whole before any byte is written).
void serveOne(std::string_view body, platform::OutputStream& out) noexcept {
    WatchedOutput watched(out);
    try {
        dispatch(body, watched);
        return;
    } catch (const std::exception& e) {
        logWithoutThrowing("erro interno ao atender o pedido: %s", e.what());
    } catch (...) {
        logWithoutThrowing("erro interno ao atender o pedido: %s", "exceção desconhecida");
    }
    if (!watched.used) (void)writeFrame(out, kInternalFailureReply);
}

// The next frame's body into `body`; false ends the loop, its reason logged.
// A read that throws (no memory for the body) ends it too: the body's bytes
// stay unread, so the stream cannot be followed any further.
bool readRequest(platform::InputStream& in, MessageBody& body) noexcept {
    try {
        auto read = readMessage(in);
        if (read) {
            body = std::move(*read);
            return true;
        }
        logf("readMessage erro: %v", read.error());
    } catch (const std::exception& e) {
        logWithoutThrowing("readMessage erro: %s", e.what());
    } catch (...) {
        logWithoutThrowing("readMessage erro: %s", "exceção desconhecida");
    }
    return false;
}

}  // namespace

void writeError(platform::OutputStream& out, std::string_view text) {
    // The result is ignored: a reply that cannot be written is lost, and the
    // next read normally ends the loop.
    (void)writeMessage(out, ErrorResponse{std::string(kTypeError), std::string(text)});
}

void serveRequests(platform::InputStream& in, platform::OutputStream& out) {
    for (;;) {
        MessageBody body;
        if (!readRequest(in, body)) return;
        serveOne(body.view(), out);
    }  // the body, and any PIN in it, goes back to the system as soon as it is answered
}

void runAgent() { serveRequests(platform::standardInput(), platform::standardOutput()); }

}  // namespace quillon
