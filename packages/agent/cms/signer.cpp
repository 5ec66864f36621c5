#include "cms/signer.h"

#include <openssl/rand.h>

namespace quillon {

std::string_view hashName(HashFunction hash) {
    switch (hash) {
        case HashFunction::MD5: return "MD5";
        case HashFunction::SHA1: return "SHA-1";
        case HashFunction::SHA224: return "SHA-224";
        case HashFunction::SHA256: return "SHA-256";
        case HashFunction::SHA384: return "SHA-384";
        case HashFunction::SHA512: return "SHA-512";
    }
    return "unknown hash";
}

namespace {
class OpenSslRandom final : public RandomSource {
public:
    void fill(std::span<std::uint8_t> out) override {
        if (!out.empty()) RAND_bytes(out.data(), static_cast<int>(out.size()));
    }
};
}  // namespace

RandomSource& systemRandom() {
    static OpenSslRandom source;
    return source;
}

}  // namespace quillon
