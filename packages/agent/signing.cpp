#include "signing.h"

#include "base64_digest.h"
#include "format.h"
#include "libs_windows.h"
#include "log.h"
#include "pkcs11_context.h"
#include "slot_session.h"

namespace quillon {
namespace {

constexpr std::string_view kNotInSlots = "thumbprint não encontrado nos slots";

// A slot's reason as the log gets it. The request's thumbprint stays out of
// the log: it is request text, and written raw it could forge log lines.
std::string_view loggableReason(const Error& e) {
    if (findKind(e, ErrorKind::CertNotFound)) return "certificado não encontrado";
    return e.text;
}

Error notFoundOnAnyToken(std::string_view thumbprint) {
    return newError(sformat("certificado com thumbprint '%s' não encontrado em nenhum token conectado", thumbprint));
}

}  // namespace

Result<AgentSignResponse> signWithToken(std::string_view thumbprint, std::string_view pin, std::string_view data,
                                        std::string_view format) {
    auto digest = sha256OfBase64(data);
    if (!digest) return failWrapped("data base64 inválido: ", std::move(digest.error()));
    if (format.empty()) format = kFormatPkcs7Detached;

    // Module and slot reasons go to the log (or nowhere), never to the browser.
    for (const std::string& path : findPkcs11Libraries()) {
        auto response = signFromLib(path, thumbprint, pin, *digest, format);
        if (response) return response;
    }
    return fail(notFoundOnAnyToken(thumbprint));
}

Result<AgentSignResponse> signFromLib(const std::string& path, std::string_view thumbprint, std::string_view pin,
                                      const Sha256Digest& dataDigest, std::string_view format) {
    auto ctx = getPkcs11Ctx(path);
    if (!ctx) {
        logf("signFromLib getPkcs11Ctx erro: %v", ctx.error());
        return fail(std::move(ctx.error()));
    }
    auto slots = getSlotList(**ctx);
    if (!slots) {
        logf("signFromLib GetSlotList erro: %v", slots.error());
        resetPkcs11Ctx(path);
        return fail(std::move(slots.error()));
    }
    for (CK_SLOT_ID slot : *slots) {
        auto response = signInSlot(**ctx, slot, thumbprint, pin, dataDigest, format);
        if (response) return response;
        logf("signInSlot %d: %v", slot, loggableReason(response.error()));
    }
    return fail(std::string(kNotInSlots));
}

Result<AgentSignBatchResponse> signBatchWithToken(std::string_view thumbprint, std::string_view pin,
                                                  const std::vector<AgentSignBatchItem>& items) {
    for (const std::string& path : findPkcs11Libraries()) {
        auto response = signBatchFromLib(path, thumbprint, pin, items);
        if (response) return response;
    }
    return fail(notFoundOnAnyToken(thumbprint));
}

Result<AgentSignBatchResponse> signBatchFromLib(const std::string& path, std::string_view thumbprint,
                                                std::string_view pin, const std::vector<AgentSignBatchItem>& items) {
    auto ctx = getPkcs11Ctx(path);
    if (!ctx) return fail(std::move(ctx.error()));  // passed over without a line
    auto slots = getSlotList(**ctx);
    if (!slots) {
        resetPkcs11Ctx(path);  // logs its own line
        return fail(std::move(slots.error()));
    }
    for (CK_SLOT_ID slot : *slots) {
        // A slot that answers ends the search, even when every item failed there.
        auto response = signBatchInSlot(**ctx, slot, thumbprint, pin, items);
        if (response) return response;
        logf("signBatchInSlot %d: %v", slot, loggableReason(response.error()));
    }
    return fail(std::string(kNotInSlots));
}

}  // namespace quillon
