// The agent's log file, "quillon-agent.log" in the user's temporary folder.
// Every line is written straight to the file in one write call; when the
// file could not be opened every logf does nothing.
#pragma once

#include <string>
#include <string_view>

#include "common/format.h"

namespace quillon {

void initLog();
void closeLog();
// The path initLog opens: the temporary folder joined with "quillon-agent.log"
// (the name alone when the folder cannot be determined).
std::string logFilePath();
// initLog on a given path; does nothing while a log is open.
void initLogAt(std::string_view path);
bool logIsOpen();

// Writes "[YYYY-MM-DD hh:mm:ss] message\n" (local time), the message escaped
// by escapeLogText.
void logLine(std::string_view message);

template <class... A>
void logf(std::string_view format, const A&... args) {
    if (!logIsOpen()) return;  // the arguments are not even formatted
    logLine(sformat(format, args...));
}

// Messages carry texts from tokens and requests; a control byte in one must
// not end the line early or forge a line of its own. Bytes below 0x20 and
// 0x7F become "\xHH" (upper-case hex); every other byte, the backslash
// included, stays as it is, so a module path reads as the path it is.
std::string escapeLogText(std::string_view text);

// "[%s] %s\n" with the 19-character local time stamp and the message escaped;
// exposed for tests.
std::string logLineText(int year, int month, int day, int hour, int minute, int second,
                        std::string_view message);

}  // namespace quillon
