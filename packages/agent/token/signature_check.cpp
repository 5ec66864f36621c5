#include "token/signature_check.h"

#include <memory>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "common/format.h"

namespace quillon {

Status checkRsaSignature(EVP_PKEY* publicKey, ByteView digestInfo, ByteView signature) {
    if (!publicKey) return fail("assinatura sem chave pública para conferi-la");
    const int modulusBytes = EVP_PKEY_get_size(publicKey);
    if (modulusBytes <= 0 || signature.size() != static_cast<std::size_t>(modulusBytes))
        return fail(sformat("assinatura com %d bytes, a chave tem %d", signature.size(), modulusBytes));
    // Without a digest set, PKCS#1 verification compares the recovered block
    // with `digestInfo` itself, which is what the token was asked to sign.
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(publicKey, nullptr),
                                                                   EVP_PKEY_CTX_free);
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digestInfo.data(), digestInfo.size()) != 1) {
        ERR_clear_error();  // the refusal is reported here; nothing later should find it queued
        return fail("assinatura não confere com a chave pública do certificado");
    }
    return {};
}

}  // namespace quillon
