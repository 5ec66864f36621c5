#include "platform/process.h"

namespace quillon::platform {

namespace {

// Inside double quotes the interpreter still ends the text at a quote and
// expands %NAME%, so a path holding either would run or delete something
// else. Neither a quote nor a control character can be part of a Windows
// file name; a percent sign can, and such an installation is left in place.
bool fitsBetweenQuotes(std::string_view path) {
    for (const char c : path)
        if (c == '"' || c == '%' || static_cast<unsigned char>(c) < 0x20) return false;
    return !path.empty();
}

}  // namespace

std::string interpreterCommandLine(std::string_view command) {
    std::string line = "cmd.exe /d /v:off /s /c \"";
    line += command;
    line += '"';
    return line;
}

// Read by cmd.exe as: up to 600 times, while the file exists, wait about a
// second (ping sends its second echo a second after the first) and try to
// delete it; then remove the folder, which rmdir leaves unless empty. A
// running program cannot be deleted, so the tries last until it has ended,
// and once the file is gone the tries left do nothing. How cmd.exe parses
// this, where Wine's reimplementation of it cannot show real Windows:
// - On a command line, as opposed to a batch file, the loop variable is
//   written with one percent sign; with no second one anywhere (no path may
//   hold one) nothing is expanded as %NAME%.
// - The outer parentheses end the loop's body: without them everything up
//   to the end of the line, the rmdir too, would be run on every try.
// - Quoted text is taken as it is inside a parenthesised block, so a path
//   holding "&", "(" or ")" neither ends the block nor starts a command.
// - The loop's body is a block of its own, the form both parse alike. With
//   echo on, cmd.exe shows each try in the hidden console, which no one
//   sees; an @ to keep it quiet would make Wine's cmd run only the first try.
Result<std::string> removalCommand(std::string_view systemFolder, std::string_view file,
                                   std::string_view folder) {
    if (!fitsBetweenQuotes(systemFolder) || !fitsBetweenQuotes(file) || !fitsBetweenQuotes(folder))
        return fail("removal command: path cannot stand between double quotes");
    std::string command = "(for /l %i in (1,1,600) do (if exist \"";
    command += file;
    command += "\" (\"";
    command += systemFolder;
    command += "\\ping.exe\" 127.0.0.1 -n 2 >nul & del /f /q \"";
    command += file;
    command += "\"))) & rmdir /q \"";
    command += folder;
    command += '"';
    return command;
}

}  // namespace quillon::platform
