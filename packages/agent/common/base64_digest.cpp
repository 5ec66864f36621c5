#include "common/base64_digest.h"

#include <algorithm>
#include <vector>

#include "common/base64.h"

namespace quillon {

Result<Sha256Digest> sha256OfBase64(std::string_view text, std::size_t chunkChars) {
    if (chunkChars == 0) chunkChars = 1;
    // One buffer for every piece: the text is decoded and hashed where it lies.
    std::vector<std::uint8_t> bytes(Base64Decoder::maxDecodedSize(std::min(chunkChars, text.size())));
    Base64Decoder decoder;
    Sha256Stream hash;
    for (std::size_t start = 0; start < text.size(); start += chunkChars) {
        auto written = decoder.decode(text.substr(start, chunkChars), bytes.data());
        if (!written) return fail(std::move(written.error()));
        hash.update(ByteView(bytes.data(), *written));
    }
    if (Status s = decoder.finish(); !s) return fail(std::move(s.error()));
    return hash.finish();
}

}  // namespace quillon
