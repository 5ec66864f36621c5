#include "pkcs11_lookup.h"

#include <array>
#include <unordered_set>

#include "certificate.h"
#include "format.h"

namespace quillon {
namespace {

constexpr CK_ULONG kCertBatch = 16;

// A module that never ends its search must not hang the agent. PKCS#11 hands
// out each matching object once per search, so a batch that brings nothing
// new, or more handles than any token holds, ends it as an empty batch would.
constexpr std::size_t kMaxSearchHandles = 1u << 16;

// Ends the search on every path once C_FindObjectsInit has succeeded.
class ActiveSearch {
public:
    ActiveSearch(const ModuleContext& ctx, CK_SESSION_HANDLE session) : ctx_(ctx), session_(session) {}
    ~ActiveSearch() { findObjectsFinal(ctx_, session_); }
    ActiveSearch(const ActiveSearch&) = delete;
    ActiveSearch& operator=(const ActiveSearch&) = delete;

private:
    const ModuleContext& ctx_;
    CK_SESSION_HANDLE session_;
};

}  // namespace

std::string certNotFoundText(std::string_view thumbprint) {
    return sformat("certificado não encontrado: %s", thumbprint);
}

Result<FoundCertificate> findCertByThumbprint(const ModuleContext& ctx, CK_SESSION_HANDLE session,
                                              std::string_view thumbprint) {
    const TemplateAttribute search[] = {ulongAttribute(CKA_CLASS, CKO_CERTIFICATE)};
    if (auto st = findObjectsInit(ctx, session, search); !st) return fail(std::move(st.error()));
    ActiveSearch active(ctx, session);

    static constexpr std::array<CK_ATTRIBUTE_TYPE, 2> kRead{CKA_VALUE, CKA_ID};
    std::unordered_set<CK_OBJECT_HANDLE> seen;
    for (;;) {
        auto batch = findObjects(ctx, session, kCertBatch);
        if (!batch || batch->empty()) break;  // a failure ends the search like an empty batch
        bool anyNew = false;
        for (CK_OBJECT_HANDLE object : *batch) {
            if (!seen.insert(object).second) continue;
            anyNew = true;
            auto values = getAttributeValues(ctx, session, object, kRead);
            if (!values || values->size() != 2 || (*values)[0].empty()) continue;
            if (thumbprintOf((*values)[0]) != thumbprint) continue;
            return FoundCertificate{std::move((*values)[0]), std::move((*values)[1])};
        }
        if (!anyNew || seen.size() >= kMaxSearchHandles) break;
    }
    return fail(certNotFoundText(thumbprint));
}

Result<CK_OBJECT_HANDLE> findPrivateKey(const ModuleContext& ctx, CK_SESSION_HANDLE session, ByteView id) {
    std::vector<TemplateAttribute> search{ulongAttribute(CKA_CLASS, CKO_PRIVATE_KEY)};
    if (!id.empty()) search.push_back(bytesAttribute(CKA_ID, id));
    if (auto st = findObjectsInit(ctx, session, search); !st) return fail(std::move(st.error()));
    ActiveSearch active(ctx, session);

    auto found = findObjects(ctx, session, 1);
    if (!found || found->empty()) return fail("nenhuma chave privada encontrada para o certificado");
    return found->front();
}

}  // namespace quillon
