#include "common/format.h"
#include "host/framing.h"
#include "host/handlers.h"
#include "token/signing.h"

namespace quillon {

// Nothing of a signing request (PIN, data, thumbprint) is logged here: only
// the reply carries the outcome.

void handleAgentSign(std::string_view body, platform::OutputStream& out) {
    auto request = decodeAgentSignMessage(body);
    if (!request) return writeError(out, sformat("json inválido para SIGN: %v", request.error()));
    if (request->Thumbprint.empty() || request->Data.empty() || request->Pin.empty())
        return writeError(out, "thumbprint, data e pin são obrigatórios");

    auto response = signWithToken(request->Thumbprint, request->Pin.view(), request->Data.view(), request->Format);
    if (!response) return writeError(out, sformat("erro ao assinar: %v", response.error()));
    (void)writeMessage(out, *response);  // a failed write ends the loop at its next read
}

}  // namespace quillon
