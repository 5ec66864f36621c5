// The part of signing in a slot that single and batch signing share: a
// read-write session, the certificate found by thumbprint, then a login with
// the PIN, the certificate parsed and its RSA private key found. Logout and
// close happen when the object goes, in that order.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <pkcs11.h>

#include "common/bytes.h"
#include "common/error.h"
#include "common/sha256.h"
#include "token/pkcs11_module.h"
#include "x509/certificate.h"

namespace quillon {

inline constexpr std::string_view kFormatPkcs7Detached = "pkcs7-detached";
inline constexpr std::string_view kAlgorithmSha256WithRsa = "SHA256withRSA";

class SlotSession {
public:
    // Logs nothing: the caller tells the steps apart by kind. A session the
    // token would not open is of kind SessionRefused (its text the module's
    // error, unchanged); a refused PIN is "PIN incorreto ou token bloqueado: %w"
    // of kind LoginRefused, the module's error its cause.
    static Result<std::unique_ptr<SlotSession>> open(const ModuleContext& ctx, CK_SLOT_ID slot,
                                                     std::string_view thumbprint, std::string_view pin);
    ~SlotSession();
    SlotSession(const SlotSession&) = delete;
    SlotSession& operator=(const SlotSession&) = delete;

    // The certificate's bytes exactly as the token returned them.
    const Bytes& certValue() const { return cert_.der; }

    // A fresh token signer for one signature: the detached CMS for an exact
    // "pkcs7-detached", raw PKCS#1 v1.5 over SHA-256 for any other format.
    // Errors "buildPkcs7: %w" and "Sign raw: %w".
    // Both forms sign only the content's SHA-256, so that is all they take.
    Result<Bytes> sign(const Sha256Digest& dataDigest, std::string_view format) const;

private:
    SlotSession(const ModuleContext& ctx, CK_SESSION_HANDLE session) : ctx_(ctx), session_(session) {}

    const ModuleContext& ctx_;
    CK_SESSION_HANDLE session_;
    bool loggedIn_ = false;
    ParsedCertificate cert_;
    CK_OBJECT_HANDLE key_ = CK_INVALID_HANDLE;
};

}  // namespace quillon
