#include "token/slot_session.h"

#include "cms/detached_cms.h"
#include "token/key_lookup.h"
#include "token/token_signer.h"

namespace quillon {

Result<std::unique_ptr<SlotSession>> SlotSession::open(const ModuleContext& ctx, CK_SLOT_ID slot,
                                                       std::string_view thumbprint, std::string_view pin) {
    // Signing needs a read-write session; there is no read-only fallback.
    auto handle = openSession(ctx, slot, CKF_SERIAL_SESSION | CKF_RW_SESSION);
    if (!handle) return failWrapped("", std::move(handle.error()), ErrorKind::SessionRefused);  // text unchanged
    std::unique_ptr<SlotSession> s(new SlotSession(ctx, *handle));  // closes the session from here on

    // The certificate is looked for before the login, among the objects a
    // token shows without one (all the listing ever offers): a token that
    // does not hold it never sees the PIN, so a PIN meant for another token
    // spends none of this one's few tries.
    auto found = findCertByThumbprint(ctx, s->session_, thumbprint);
    if (!found) return fail(std::move(found.error()));

    if (auto st = login(ctx, s->session_, pin); !st) {
        logout(ctx, s->session_);
        return failWrapped("PIN incorreto ou token bloqueado: ", std::move(st.error()), ErrorKind::LoginRefused);
    }
    s->loggedIn_ = true;

    auto cert = parseCertificate(found->value);
    if (!cert) return failWrapped("ParseCertificate: ", std::move(cert.error()));
    s->cert_ = std::move(*cert);

    auto key = findPrivateKey(ctx, s->session_, found->id);
    if (!key) return failWrapped("chave privada não encontrada: ", std::move(key.error()));
    s->key_ = *key;
    // Tested after the key search on purpose: a non-RSA certificate without
    // a key reports the missing key.
    if (!s->cert_.isRsa) return fail("apenas certificados RSA são suportados");
    return s;
}

SlotSession::~SlotSession() {
    if (loggedIn_) logout(ctx_, session_);
    closeSession(ctx_, session_);
}

Result<Bytes> SlotSession::sign(const Sha256Digest& dataDigest, std::string_view format) const {
    pkcs11Signer signer(ctx_, session_, key_, cert_.publicKey);
    if (format == kFormatPkcs7Detached) {
        auto cms = buildPkcs7DetachedForDigest(cert_, signer, dataDigest);
        if (!cms) return failWrapped("buildPkcs7: ", std::move(cms.error()));
        return cms;
    }
    auto raw = signer.Sign(nullptr, dataDigest, SignerOpts{HashFunction::SHA256});
    if (!raw) return failWrapped("Sign raw: ", std::move(raw.error()));
    return raw;
}

}  // namespace quillon
