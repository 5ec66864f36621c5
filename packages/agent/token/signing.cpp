#include "token/signing.h"

#include <type_traits>

#include "common/base64_digest.h"
#include "common/format.h"
#include "log/log.h"
#include "token/module_list.h"
#include "token/pkcs11_context.h"
#include "token/slot_session.h"

namespace quillon {
namespace {

constexpr std::string_view kNotInSlots = "thumbprint não encontrado nos slots";

// What the driver logs besides the per-slot work's own lines. A module whose
// slot list cannot be read is reset either way, and the reset logs its line.
struct DriverLog {
    std::string_view slotWork;  // the name a slot's failure is logged under
    bool moduleFailures;        // whether a module that cannot be used is logged
};
constexpr DriverLog kSingleLog{"signInSlot", true};
constexpr DriverLog kBatchLog{"signBatchInSlot", false};

// The per-slot work is called as work(ctx, slot) and returns a Result.
template <class SlotWork>
using ResponseOf = std::invoke_result_t<const SlotWork&, const ModuleContext&, CK_SLOT_ID>;

// A slot's reason as the log gets it. The request's thumbprint stays out of
// the log: it is request text, and written raw it could forge log lines.
std::string_view loggableReason(const Error& e) {
    if (findKind(e, ErrorKind::CertNotFound)) return "certificado não encontrado";
    return e.text;
}

Error notFoundOnAnyToken(std::string_view thumbprint) {
    return newError(sformat("certificado com thumbprint '%s' não encontrado em nenhum token conectado", thumbprint));
}

// One module, across its slots with a token present, until `work` succeeds
// in one; "thumbprint não encontrado nos slots" when none does.
template <class SlotWork>
ResponseOf<SlotWork> signFromLib(const std::string& path, const DriverLog& log, const SlotWork& work) {
    auto ctx = getPkcs11Ctx(path);
    if (!ctx) {
        if (log.moduleFailures) logf("signFromLib getPkcs11Ctx erro: %v", ctx.error());
        return fail(std::move(ctx.error()));
    }
    auto slots = getSlotList(**ctx);
    if (!slots) {
        if (log.moduleFailures) logf("signFromLib GetSlotList erro: %v", slots.error());
        resetPkcs11Ctx(path);
        return fail(std::move(slots.error()));
    }
    for (CK_SLOT_ID slot : *slots) {
        // A slot that answers ends the search, even when every item of a batch failed there.
        auto response = work(**ctx, slot);
        if (response) return response;
        logf("%s %d: %v", log.slotWork, slot, loggableReason(response.error()));
    }
    return fail(std::string(kNotInSlots));
}

// Every candidate module in turn, until one signs. Module and slot reasons
// go to the log (or nowhere), never to the browser.
template <class SlotWork>
ResponseOf<SlotWork> signOnAnyToken(std::string_view thumbprint, const DriverLog& log, const SlotWork& work) {
    for (const std::string& path : findPkcs11Libraries()) {
        auto response = signFromLib(path, log, work);
        if (response) return response;
    }
    return fail(notFoundOnAnyToken(thumbprint));
}

}  // namespace

Result<AgentSignResponse> signWithToken(std::string_view thumbprint, std::string_view pin, std::string_view data,
                                        std::string_view format) {
    auto digest = sha256OfBase64(data);
    if (!digest) return failWrapped("data base64 inválido: ", std::move(digest.error()));
    if (format.empty()) format = kFormatPkcs7Detached;
    return signOnAnyToken(thumbprint, kSingleLog, [&](const ModuleContext& ctx, CK_SLOT_ID slot) {
        return signInSlot(ctx, slot, thumbprint, pin, *digest, format);
    });
}

Result<AgentSignBatchResponse> signBatchWithToken(std::string_view thumbprint, std::string_view pin,
                                                  const std::vector<AgentSignBatchItem>& items) {
    return signOnAnyToken(thumbprint, kBatchLog, [&](const ModuleContext& ctx, CK_SLOT_ID slot) {
        return signBatchInSlot(ctx, slot, thumbprint, pin, items);
    });
}

}  // namespace quillon
