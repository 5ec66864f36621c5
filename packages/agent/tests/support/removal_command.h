// The delayed removal's command taken apart again: the interpreter double
// carries out only a command of exactly the shape the uninstaller builds,
// and the tests check that the uninstaller's commands are of that shape.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillon::testing {

struct RemovalTargets {
    int tries = 0;
    std::string file;
    std::string folder;
};

namespace removal_parts {

inline bool take(std::string_view& rest, std::string_view text) {
    if (!rest.starts_with(text)) return false;
    rest.remove_prefix(text.size());
    return true;
}

// A path between double quotes, as the interpreter would read it: nothing
// when it is empty or holds what the interpreter would read as more.
inline std::optional<std::string> takeQuotedPath(std::string_view& rest) {
    if (!take(rest, "\"")) return std::nullopt;
    const std::size_t end = rest.find('"');
    if (end == 0 || end == std::string_view::npos) return std::nullopt;
    std::string path(rest.substr(0, end));
    rest.remove_prefix(end + 1);
    for (const char c : path)
        if (c == '%' || static_cast<unsigned char>(c) < 0x20) return std::nullopt;
    return path;
}

// A count of 1 to 9999 tries.
inline std::optional<int> takeTries(std::string_view& rest) {
    int tries = 0, digits = 0;
    while (digits < 5 && !rest.empty() && rest.front() >= '0' && rest.front() <= '9') {
        tries = tries * 10 + (rest.front() - '0');
        rest.remove_prefix(1);
        ++digits;
    }
    if (digits == 0 || digits == 5 || tries == 0) return std::nullopt;
    return tries;
}

}  // namespace removal_parts

// "(for /l %i in (1,1,<tries>) do (if exist "<file>" ("<system
// folder>\ping.exe" 127.0.0.1 -n 2 >nul & del /f /q "<file>"))) & rmdir /q
// "<folder>"", the same file named both times; nothing for any other text.
inline std::optional<RemovalTargets> parseRemovalCommand(std::string_view command) {
    using namespace removal_parts;
    std::string_view rest = command;
    if (!take(rest, "(for /l %i in (1,1,")) return std::nullopt;
    const auto tries = takeTries(rest);
    if (!tries || !take(rest, ") do (if exist ")) return std::nullopt;
    const auto file = takeQuotedPath(rest);
    if (!file || !take(rest, " (")) return std::nullopt;
    const auto ping = takeQuotedPath(rest);
    constexpr std::string_view kPing = "\\ping.exe";
    if (!ping || !ping->ends_with(kPing) || ping->size() == kPing.size()) return std::nullopt;
    if (!take(rest, " 127.0.0.1 -n 2 >nul & del /f /q ")) return std::nullopt;
    const auto deleted = takeQuotedPath(rest);
    if (deleted != file || !take(rest, "))) & rmdir /q ")) return std::nullopt;
    const auto folder = takeQuotedPath(rest);
    if (!folder || !rest.empty()) return std::nullopt;
    return RemovalTargets{*tries, *file, *folder};
}

}  // namespace quillon::testing
