#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/bytes.h"
#include "common/error.h"

namespace quillon {

// Standard alphabet, "=" padding, no line breaks.
std::string base64Encode(ByteView data);

// Decodes text that arrives in pieces cut anywhere: standard alphabet,
// padding required on the last group, CR and LF skipped anywhere, spare bits
// of the last character may be non-zero. Any other fault: "illegal base64
// data at input byte N" (N counted from 0, from the start of the whole text).
// Each piece is decoded into the caller's buffer.
class Base64Decoder {
public:
    // The most bytes one piece of `textSize` characters can produce.
    static std::size_t maxDecodedSize(std::size_t textSize) { return textSize / 4 * 3 + 3; }

    // Decodes `piece` into `out` (room for maxDecodedSize(piece.size())),
    // giving how many bytes were written.
    Result<std::size_t> decode(std::string_view piece, std::uint8_t* out);
    // After the last piece: fails when the text ended inside a group or its
    // padding.
    Status finish() const;

private:
    enum class Phase { Data, Padding, AfterPadding };
    Phase phase_ = Phase::Data;
    std::uint32_t quad_ = 0;   // the sextets of the group being read
    int filled_ = 0;           // how many of the group's four characters have arrived
    int padsNeeded_ = 0;       // '=' still due in the Padding phase
    std::size_t offset_ = 0;   // characters before the current piece
};

}  // namespace quillon
