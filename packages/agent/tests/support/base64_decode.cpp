#include "support/base64_decode.h"

#include "common/base64.h"

namespace quillon::testing {

Result<Bytes> base64Decode(std::string_view text) {
    Bytes out(Base64Decoder::maxDecodedSize(text.size()));
    Base64Decoder decoder;
    auto written = decoder.decode(text, out.data());
    if (!written) return fail(std::move(written.error()));
    if (Status s = decoder.finish(); !s) return fail(std::move(s.error()));
    out.resize(*written);
    return out;
}

}  // namespace quillon::testing
