#include "token/key_lookup.h"

#include <array>
#include <optional>

#include "common/format.h"
#include "token/pkcs11_search.h"
#include "x509/certificate.h"

namespace quillon {

Result<FoundCertificate> findCertByThumbprint(const ModuleContext& ctx, CK_SESSION_HANDLE session,
                                              std::string_view thumbprint) {
    // Every certificate object, whatever its type: only the SHA-1 of the stored bytes decides.
    const TemplateAttribute search[] = {ulongAttribute(CKA_CLASS, CKO_CERTIFICATE)};
    static constexpr std::array<CK_ATTRIBUTE_TYPE, 2> kRead{CKA_VALUE, CKA_ID};
    std::optional<FoundCertificate> match;
    auto searched = searchObjects(ctx, session, search, 16, [&](CK_OBJECT_HANDLE object) {
        auto values = getAttributeValues(ctx, session, object, kRead);
        // Unreadable objects (a sensitive CKA_ID, say) and empty values are skipped.
        if (!values || values->size() != 2 || (*values)[0].empty()) return SearchStep::Continue;
        if (thumbprintOf((*values)[0]) != thumbprint) return SearchStep::Continue;  // exact bytes, no case folding
        match = FoundCertificate{std::move((*values)[0]), std::move((*values)[1])};
        return SearchStep::Stop;
    });
    if (!searched) return fail(std::move(searched.error()));
    if (!match) return fail(sformat("certificado não encontrado: %s", thumbprint), ErrorKind::CertNotFound);
    return std::move(*match);
}

Result<CK_OBJECT_HANDLE> findPrivateKey(const ModuleContext& ctx, CK_SESSION_HANDLE session, ByteView id) {
    // An empty id searches by class alone; a non-empty one that matches
    // nothing is not retried without it.
    std::vector<TemplateAttribute> search{ulongAttribute(CKA_CLASS, CKO_PRIVATE_KEY)};
    if (!id.empty()) search.push_back(bytesAttribute(CKA_ID, id));
    std::optional<CK_OBJECT_HANDLE> key;
    auto searched = searchObjects(ctx, session, search, 1, [&](CK_OBJECT_HANDLE object) {
        key = object;
        return SearchStep::Stop;
    });
    if (!searched) return fail(std::move(searched.error()));
    if (!key) return fail("nenhuma chave privada encontrada para o certificado");
    return *key;
}

}  // namespace quillon
