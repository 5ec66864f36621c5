// The SHA-256 of Base64 data without holding the decoded bytes: signing needs
// only the digest of the content, and a large document would otherwise sit in
// memory twice (as text and as bytes).
#pragma once

#include <cstddef>
#include <string_view>

#include "common/error.h"
#include "common/sha256.h"

namespace quillon {

// Same acceptance and the same error texts as Base64Decoder given the whole
// text; decodes piece by piece, `chunkChars` characters of text at a time.
Result<Sha256Digest> sha256OfBase64(std::string_view text, std::size_t chunkChars = 1u << 20);

}  // namespace quillon
