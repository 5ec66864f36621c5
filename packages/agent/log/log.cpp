#include "log/log.h"

#include <cstdio>
#include <memory>

#include "common/bytes.h"
#include "common/version.h"
#include "platform/fs.h"

namespace quillon {
namespace {

constexpr std::string_view kLogName = "quillon-agent.log";

// Set once by initLog, absent when the file could not be opened.
std::unique_ptr<platform::AppendFile> logFile;

}  // namespace

std::string logFilePath() {
    std::string path = platform::tempDirectory();
    if (!path.empty() && path.back() != '\\' && path.back() != '/') path += '\\';
    path += kLogName;
    return path;
}

void initLogAt(std::string_view path) {
    if (logFile) return;
    auto opened = platform::openAppendShared(path);
    if (!opened) return;  // silently run without a log
    logFile = std::move(*opened);
    logf("=== agente iniciado (v%s) ===", kVersion);
}

void initLog() { initLogAt(logFilePath()); }

void closeLog() { logFile.reset(); }

bool logIsOpen() { return logFile != nullptr; }

void logLine(std::string_view message) {
    if (!logFile) return;
    auto t = platform::localTimeNow();
    logFile->write(logLineText(t.year, t.month, t.day, t.hour, t.minute, t.second, message));
}

namespace {

bool isControlByte(unsigned char c) { return c < 0x20 || c == 0x7F; }

}  // namespace

std::string escapeLogText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (!isControlByte(static_cast<unsigned char>(c))) {
            out += c;
            continue;
        }
        out += "\\x";
        appendHexByte(out, static_cast<std::uint8_t>(c));
    }
    return out;
}

std::string logLineText(int year, int month, int day, int hour, int minute, int second,
                        std::string_view message) {
    char stamp[64];
    int n = std::snprintf(stamp, sizeof stamp, "[%04d-%02d-%02d %02d:%02d:%02d] ", year, month, day, hour,
                          minute, second);
    std::string line;
    line.reserve(static_cast<std::size_t>(n) + message.size() + 1);
    line.append(stamp, static_cast<std::size_t>(n));
    line += escapeLogText(message);
    line += '\n';
    return line;
}

}  // namespace quillon
