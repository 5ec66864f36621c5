// The process's own command line, for installer mode (agent mode never looks
// at it).
#pragma once

#include <string>
#include <vector>

namespace quillon::platform {

// The arguments after the program's own name, split by the platform's rules
// (Windows: blanks, quotes and backslashes as CommandLineToArgvW splits them),
// as UTF-8. Empty when the command line cannot be obtained.
std::vector<std::string> programArguments();

}  // namespace quillon::platform
