#include "common/format.h"
#include "host/framing.h"
#include "host/handlers.h"
#include "token/signing.h"

namespace quillon {

// As for a single item, nothing of the request is logged here.

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
