#include "platform/process.h"

namespace quillon::platform {

namespace {

constexpr std::string_view kDelayThroughPing = "\\ping.exe\" 127.0.0.1 -n 2 >nul & del /f /q \"";
constexpr std::string_view kThenRemoveFolder = "\" & rmdir /q \"";

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

Result<std::string> removalCommand(std::string_view systemFolder, std::string_view file,
                                   std::string_view folder) {
    if (!fitsBetweenQuotes(systemFolder) || !fitsBetweenQuotes(file) || !fitsBetweenQuotes(folder))
        return fail("removal command: path cannot stand between double quotes");
    std::string command = "\"";
    command += systemFolder;
    command += kDelayThroughPing;
    command += file;
    command += kThenRemoveFolder;
    command += folder;
    command += '"';
    return command;
}

std::optional<RemovalTargets> parseRemovalCommand(std::string_view command) {
    if (!command.starts_with('"') || !command.ends_with('"')) return std::nullopt;
    command.remove_prefix(1);
    command.remove_suffix(1);
    const std::size_t delay = command.find(kDelayThroughPing);
    if (delay == std::string_view::npos || !fitsBetweenQuotes(command.substr(0, delay))) return std::nullopt;
    command.remove_prefix(delay + kDelayThroughPing.size());
    const std::size_t middle = command.find(kThenRemoveFolder);
    if (middle == std::string_view::npos) return std::nullopt;
    RemovalTargets targets{std::string(command.substr(0, middle)),
                           std::string(command.substr(middle + kThenRemoveFolder.size()))};
    if (!fitsBetweenQuotes(targets.file) || !fitsBetweenQuotes(targets.folder)) return std::nullopt;
    return targets;
}

}  // namespace quillon::platform
