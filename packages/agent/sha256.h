#pragma once

#include <array>
#include <cstdint>

#include "bytes.h"

namespace quillon {

using Sha256Digest = std::array<std::uint8_t, 32>;

Sha256Digest sha256Of(ByteView data);

}  // namespace quillon
