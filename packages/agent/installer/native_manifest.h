// The native-messaging manifest that tells Chrome, Brave and Edge how to
// start the agent and which extension may talk to it.
#pragma once

#include <string>
#include <string_view>

namespace quillon {

// The manifest for an agent at `targetExe`: two-blank indent, LF line ends,
// no final line feed, strings escaped as in the replies.
std::string nativeManifestText(std::string_view targetExe);

}  // namespace quillon
