#include "token/listing.h"

#include <unordered_set>

#include "common/format.h"
#include "log/log.h"
#include "token/certificate_summary.h"
#include "token/module_list.h"
#include "token/pkcs11_context.h"
#include "token/pkcs11_search.h"

namespace quillon {

namespace {

constexpr CK_ULONG kListingBatch = 16;
constexpr std::string_view kNoModule = "nenhuma biblioteca PKCS#11 encontrada no sistema";

}  // namespace

Result<AgentCertInfo> parseCertObject(const ModuleContext& ctx, CK_SESSION_HANDLE session,
                                      CK_OBJECT_HANDLE object) {
    static constexpr CK_ATTRIBUTE_TYPE kValue[] = {CKA_VALUE};
    auto values = getAttributeValues(ctx, session, object, kValue);
    if (!values || values->empty() || values->front().empty()) return fail("CKA_VALUE vazio");
    auto info = summarizeCertificate(values->front());
    if (!info) return failWrapped("ParseCertificate: ", std::move(info.error()));
    return info;
}

Result<std::vector<AgentCertInfo>> listCertsInSlot(const ModuleContext& ctx, CK_SLOT_ID slot) {
    // Read-only tokens refuse read-write sessions; the listing only reads.
    auto session = openSession(ctx, slot, CKF_SERIAL_SESSION | CKF_RW_SESSION);
    if (!session) session = openSession(ctx, slot, CKF_SERIAL_SESSION);
    if (!session) return failWrapped(sformat("OpenSession slot %d: ", slot), std::move(session.error()));

    const TemplateAttribute templ[] = {ulongAttribute(CKA_CLASS, CKO_CERTIFICATE),
                                       ulongAttribute(CKA_CERTIFICATE_TYPE, CKC_X_509)};
    std::vector<AgentCertInfo> certs;
    auto searched = searchObjects(ctx, *session, templ, kListingBatch, [&](CK_OBJECT_HANDLE object) {
        // Objects that cannot be read or parsed are left out without a word.
        if (auto info = parseCertObject(ctx, *session, object)) certs.push_back(std::move(*info));
        return SearchStep::Continue;
    });
    closeSession(ctx, *session);
    if (!searched) return failWrapped("FindObjectsInit: ", std::move(searched.error()));
    return certs;
}

Result<std::vector<AgentCertInfo>> listCertsFromLib(const std::string& path) {
    auto ctx = getPkcs11Ctx(path);
    if (!ctx) {
        logf("getPkcs11Ctx(%s) erro: %v", path, ctx.error());
        return std::unexpected(std::move(ctx.error()));
    }
    const ModuleContext& module = **ctx;

    auto slots = getSlotList(module);
    if (!slots) {
        logf("GetSlotList(%s) erro: %v", path, slots.error());
        return failWrapped("GetSlotList: ", std::move(slots.error()));
    }
    logf("lib %s: %d slots com token", path, slots->size());

    std::vector<AgentCertInfo> all;
    for (CK_SLOT_ID slot : *slots) {
        logf("  processando slot %d", slot);
        auto certs = listCertsInSlot(module, slot);
        if (!certs) {
            logf("  slot %d erro: %v", slot, certs.error());
            continue;
        }
        logf("  slot %d: %d certificados", slot, certs->size());
        all.insert(all.end(), std::make_move_iterator(certs->begin()), std::make_move_iterator(certs->end()));
    }
    return all;
}

Result<std::vector<AgentCertInfo>> listCertificates() {
    const std::vector<std::string> libs = findPkcs11Libraries();
    logf("PKCS#11 bibliotecas candidatas: %v", libs);
    if (libs.empty()) {
        logf("ERRO: %s", kNoModule);
        return fail(std::string(kNoModule));
    }

    std::unordered_set<std::string> kept;
    std::vector<AgentCertInfo> result;
    for (const std::string& lib : libs) {
        logf("tentando lib: %s", lib);
        auto certs = listCertsFromLib(lib);
        if (!certs) {
            logf("lib %s: erro: %v", lib, certs.error());
            continue;
        }
        logf("lib %s: %d certificados encontrados", lib, certs->size());
        for (AgentCertInfo& cert : *certs) {
            if (!kept.insert(cert.Thumbprint).second) continue;
            logf("  cert: %s | taxId: %s | issuer: %s | valido ate: %s", cert.CommonName, cert.TaxId,
                 cert.Issuer, cert.NotAfter);
            result.push_back(std::move(cert));
        }
    }
    logf("total certificados retornados: %d", result.size());
    return result;
}

}  // namespace quillon
