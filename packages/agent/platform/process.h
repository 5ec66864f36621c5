// Starting the one command the program ever hands to the command
// interpreter: the delayed removal of the installed executable and its
// folder after an uninstall.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "../error.h"

namespace quillon::platform {

// "cmd /c " followed by the command exactly as given.
std::string interpreterCommandLine(std::string_view command);

// Starts the command through the interpreter (cmd.exe of the system folder)
// in its own process, without a window, in this process's folder and
// environment, and returns at once without waiting. Whether it could be started is not reported.
// Elsewhere than on Windows only the removal command below is carried out
// (wait about a second, delete the file, remove the folder if it is empty and
// not the current folder); any other command is ignored.
void runDetachedCmd(std::string_view command);

// "ping 127.0.0.1 -n 2 >nul & del /f /q "<file>" & rmdir /q "<folder>"": a
// delay of about one second, then the forced deletion of the file, then the
// removal of the folder if it is empty. A path holding a double quote, a
// percent sign or a control character would change what the interpreter
// runs, so it is refused.
Result<std::string> removalCommand(std::string_view file, std::string_view folder);

struct RemovalTargets {
    std::string file;
    std::string folder;
};
// The two paths of a command built by removalCommand; nothing for any other text.
std::optional<RemovalTargets> parseRemovalCommand(std::string_view command);

}  // namespace quillon::platform
