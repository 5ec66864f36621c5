#include "token/token_signer.h"

#include <algorithm>

#include <openssl/evp.h>

#include "common/format.h"
#include "log/log.h"
#include "token/signature_check.h"

namespace quillon {

Bytes sha256DigestInfo(ByteView digest) {
    Bytes info(sha256DigestInfoPrefix.size() + digest.size());
    std::copy(sha256DigestInfoPrefix.begin(), sha256DigestInfoPrefix.end(), info.begin());
    std::copy(digest.begin(), digest.end(), info.begin() + sha256DigestInfoPrefix.size());
    return info;
}

Result<Bytes> pkcs11Signer::Sign(RandomSource*, ByteView digest, const SignerOpts& opts) {
    if (opts.hash != HashFunction::SHA256)
        return fail(sformat("quillon-agent: apenas SHA-256 é suportado (recebido: %v)", hashName(opts.hash)));
    Bytes digestInfo = sha256DigestInfo(digest);
    if (auto st = signInit(ctx_, session_, CKM_RSA_PKCS, keyHandle_); !st) return failWrapped("SignInit: ", std::move(st.error()));
    // The certificate's key says how long the signature is, whatever the module claims.
    const int modulusLength = pubKey_ ? EVP_PKEY_get_size(pubKey_.get()) : 0;
    auto signature = sign(ctx_, session_, digestInfo, static_cast<std::size_t>(std::max(modulusLength, 0)));
    if (!signature) return failWrapped("Sign: ", std::move(signature.error()));
    // A signature that does not check out is a failed C_Sign: no reply carries it.
    if (auto st = checkRsaSignature(pubKey_.get(), digestInfo, *signature); !st) {
        logf("assinatura do token recusada: %v", st.error());
        return failWrapped("Sign: ", std::move(st.error()));
    }
    return signature;
}

}  // namespace quillon
