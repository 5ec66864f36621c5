#pragma once

#include <string>
#include <string_view>

#include "bytes.h"
#include "error.h"

namespace quillon {

// Standard alphabet, "=" padding, no line breaks.
std::string base64Encode(ByteView data);

// Standard alphabet, padding required on the last group, CR and LF skipped
// anywhere, spare bits of the last character may be non-zero. Any other
// fault: "illegal base64 data at input byte N" (N counted from 0).
Result<Bytes> base64Decode(std::string_view text);

}  // namespace quillon
