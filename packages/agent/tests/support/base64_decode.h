// Base64 text decoded whole, for tests that read back what the agent encoded
// or check the decoder the agent reads requests with.
#pragma once

#include <string_view>

#include "common/bytes.h"
#include "common/error.h"

namespace quillon::testing {

// The bytes of the whole text, through the agent's Base64Decoder: the same
// acceptance and error texts.
Result<Bytes> base64Decode(std::string_view text);

}  // namespace quillon::testing
