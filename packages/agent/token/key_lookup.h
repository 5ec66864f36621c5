// Binding a request's thumbprint to the key that signs it, on a session the
// caller has opened: the certificate before the login, the private key after
// it. Each lookup is one complete object search and ends it before
// returning; nothing is logged here.
#pragma once

#include <string>
#include <string_view>

#include <pkcs11.h>

#include "common/bytes.h"
#include "common/error.h"
#include "token/pkcs11_module.h"

namespace quillon {

struct FoundCertificate {
    Bytes value;  // CKA_VALUE, never empty
    Bytes id;     // CKA_ID, possibly empty
};

// The first certificate object whose SHA-1 thumbprint (lower-case hex) equals
// `thumbprint` byte for byte. Errors: the C_FindObjectsInit failure as it is,
// or "certificado não encontrado: %s" with the thumbprint as the request gave
// it, of kind CertNotFound.
Result<FoundCertificate> findCertByThumbprint(const ModuleContext& ctx, CK_SESSION_HANDLE session,
                                              std::string_view thumbprint);

// The first private key carrying `id` (any private key when `id` is empty).
// Errors: the C_FindObjectsInit failure as it is, or
// "nenhuma chave privada encontrada para o certificado".
Result<CK_OBJECT_HANDLE> findPrivateKey(const ModuleContext& ctx, CK_SESSION_HANDLE session, ByteView id);

}  // namespace quillon
