// Starting the one command the program ever hands to the command
// interpreter: the delayed removal of the installed executable and its
// folder after an uninstall.
#pragma once

#include <string>
#include <string_view>

#include "common/error.h"

namespace quillon::platform {

// How the interpreter is started: "cmd.exe /d /v:off /s /c " and the command
// between one more pair of double quotes. /d skips the AutoRun commands a
// user or machine may have set for the interpreter; /v:off keeps a
// DelayedExpansion setting from expanding !NAME! inside the quoted paths;
// /s makes the interpreter drop exactly the outer quotes, so the quoted
// paths inside stay as they are.
std::string interpreterCommandLine(std::string_view command);

// Starts the command through the interpreter (cmd.exe of the system folder)
// in its own process, without a window, with the system folder as its
// current folder (so that it holds no folder it is asked to remove) and this
// process's environment, and returns at once without waiting. Whether it
// could be started is not reported. Elsewhere nothing is started.
void runDetachedCmd(std::string_view command);

// The system folder, where the interpreter and ping live. Windows:
// GetSystemDirectoryW, never an environment variable. Elsewhere there is
// none and this fails.
Result<std::string> systemFolder();

// "(for /l %i in (1,1,600) do (if exist "<file>" ("<system folder>\ping.exe"
// 127.0.0.1 -n 2 >nul & del /f /q "<file>"))) & rmdir /q "<folder>"": while
// the file exists, about once a second for up to ten minutes, the forced
// deletion of the file, which fails for as long as a program runs from it;
// then the removal of the folder if it is empty. Ping is named by its full
// path: a bare "ping" would be looked for in the current folder first. A
// path holding a double quote, a percent sign or a control character would
// change what the interpreter runs, so it is refused.
Result<std::string> removalCommand(std::string_view systemFolder, std::string_view file,
                                   std::string_view folder);

}  // namespace quillon::platform
