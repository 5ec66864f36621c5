#include "format.h"
#include "framing.h"
#include "handlers.h"
#include "log.h"

namespace quillon {

void writeError(platform::OutputStream& out, std::string_view text) {
    // The result is ignored: a reply that cannot be written is lost, and the
    // next read normally ends the loop.
    (void)writeMessage(out, ErrorResponse{std::string(kTypeError), std::string(text)});
}

void serveRequests(platform::InputStream& in, platform::OutputStream& out) {
    for (;;) {
        auto body = readMessage(in);
        if (!body) {
            logf("readMessage erro: %v", body.error());
            return;
        }
        auto base = decodeBaseMessage(*body);
        if (!base) {
            writeError(out, sformat("json inválido: %v", base.error()));
            continue;
        }
        const std::string& type = base->Type;
        if (type == kTypePing)
            (void)writeMessage(out, PongResponse{std::string(kTypePong), std::string(kVersion)});
        else if (type == kTypeListCerts)
            handleListCerts(out);
        else if (type == kTypeAgentSign)
            handleAgentSign(*body, out);
        else if (type == kTypeAgentSignBatch)
            handleAgentSignBatch(*body, out);
        else
            writeError(out, sformat("tipo não suportado: %s", type));
    }
}

void runAgent() { serveRequests(platform::standardInput(), platform::standardOutput()); }

}  // namespace quillon
