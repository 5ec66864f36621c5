#include <chrono>

#include "common/base64.h"
#include "common/base64_digest.h"
#include "common/format.h"
#include "common/time_text.h"
#include "token/signing.h"
#include "token/slot_session.h"

namespace quillon {

Result<AgentSignBatchResponse> signBatchInSlot(const ModuleContext& ctx, CK_SLOT_ID slot,
                                               std::string_view thumbprint, std::string_view pin,
                                               const std::vector<AgentSignBatchItem>& items) {
    // One session, one login and one lookup serve every item.
    auto session = SlotSession::open(ctx, slot, thumbprint, pin);  // its failures go unlogged here
    if (!session) return fail(std::move(session.error()));
    const std::string certDer = base64Encode((*session)->certValue());

    AgentSignBatchResponse response;
    response.Type = kTypeAgentSignBatchResponse;
    response.Results.resize(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        const AgentSignBatchItem& item = items[i];
        AgentSignBatchResultItem& result = response.Results[i];
        result.ID = item.ID;

        // A failed item keeps only its id and error; the batch goes on.
        auto digest = sha256OfBase64(item.Data.view());
        if (!digest) {
            result.Error = sformat("data base64 inválido: %v", digest.error());
            continue;
        }
        std::string_view format = item.Format.empty() ? kFormatPkcs7Detached : std::string_view(item.Format);
        auto signature = (*session)->sign(*digest, format);
        if (!signature) {
            result.Error = signature.error().text;  // already "buildPkcs7: ..." or "Sign raw: ..."
            continue;
        }
        result.Signature = base64Encode(*signature);
        result.Algorithm = kAlgorithmSha256WithRsa;
        result.SignedAt = timeText(std::chrono::system_clock::now());
        result.CertDer = certDer;
    }
    return response;
}

}  // namespace quillon
