// The program's version: in the ping reply, the log's first line, the
// installer's banner and the uninstall entry.
#pragma once

#include <string_view>

namespace quillon {

inline constexpr std::string_view kVersion = "1.1.2";

}  // namespace quillon
