#include <chrono>

#include "common/base64.h"
#include "common/time_text.h"
#include "log/log.h"
#include "token/signing.h"
#include "token/slot_session.h"

namespace quillon {
namespace {

const Error& moduleErrorOf(const Error& step) { return step.cause ? *step.cause : step; }

// The module's own error behind a refused session or login, on a line of its
// own; the driver's line after it carries the whole reason.
void logOpenFailure(CK_SLOT_ID slot, const Error& e) {
    if (const Error* step = findKind(e, ErrorKind::SessionRefused))
        logf("signInSlot %d: OpenSession erro: %v", slot, moduleErrorOf(*step));
    else if (const Error* step = findKind(e, ErrorKind::LoginRefused))
        logf("signInSlot %d: Login erro: %v", slot, moduleErrorOf(*step));
}

}  // namespace

Result<AgentSignResponse> signInSlot(const ModuleContext& ctx, CK_SLOT_ID slot, std::string_view thumbprint,
                                     std::string_view pin, const Sha256Digest& dataDigest, std::string_view format) {
    auto session = SlotSession::open(ctx, slot, thumbprint, pin);
    if (!session) {
        logOpenFailure(slot, session.error());
        return fail(std::move(session.error()));
    }
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
