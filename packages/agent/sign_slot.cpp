#include <chrono>

#include "base64.h"
#include "signing.h"
#include "slot_session.h"

namespace quillon {

Result<AgentSignResponse> signInSlot(const ModuleContext& ctx, CK_SLOT_ID slot, std::string_view thumbprint,
                                     std::string_view pin, const Sha256Digest& dataDigest, std::string_view format) {
    auto session = SlotSession::open(ctx, slot, thumbprint, pin, /*logFailures=*/true);
    if (!session) return fail(std::move(session.error()));
    auto signature = (*session)->sign(dataDigest, format);
    if (!signature) return fail(std::move(signature.error()));

    AgentSignResponse response;
    response.Type = kTypeAgentSignResponse;
    response.Signature = base64Encode(*signature);
    response.Algorithm = kAlgorithmSha256WithRsa;
    // Read after the signature exists; the CMS signing time is its own, earlier reading.
    response.SignedAt = timeText(std::chrono::system_clock::now());
    response.CertDer = base64Encode((*session)->certValue());
    return response;  // logout and close as the session goes
}

}  // namespace quillon
