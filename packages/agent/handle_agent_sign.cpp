#include "format.h"
#include "framing.h"
#include "handlers.h"
#include "signing.h"

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

void handleAgentSignBatch(std::string_view body, platform::OutputStream& out) {
    auto request = decodeAgentSignBatchMessage(body);
    if (!request) return writeError(out, sformat("json inválido para SIGN_BATCH: %v", request.error()));
    if (request->Thumbprint.empty() || request->Pin.empty() || request->Items.empty())
        return writeError(out, "thumbprint, pin e items são obrigatórios");
    if (request->Items.size() > kMaxBatchItems)
        return writeError(out, sformat("items demais: no máximo %d por batch", kMaxBatchItems));

    auto response = signBatchWithToken(request->Thumbprint, request->Pin.view(), request->Items);
    if (!response) return writeError(out, sformat("erro ao assinar batch: %v", response.error()));
    (void)writeMessage(out, *response);
}

}  // namespace quillon
