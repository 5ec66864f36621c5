// The installer's conversation with the user: text on standard output and a
// wait for Enter on standard input. Nothing goes to standard error.
#pragma once

#include <string_view>

namespace quillon::platform {

// Writes UTF-8 text to standard output, unchanged, and ignores failures. A
// Windows console gets it as UTF-16, so arrows, ticks and frames show
// whatever the console's code page; a file or pipe gets the UTF-8 bytes.
void writeConsoleText(std::string_view utf8);

// Reads at most one byte from standard input and ignores what came and any
// error: at a console it returns when Enter is pressed, on the null device or
// a closed input at once.
void readOneInputByte();

}  // namespace quillon::platform
