// How installer and uninstaller talk to the user: one line per step on
// standard output, nothing at all in silent mode.
#pragma once

#include <string_view>

#include "common/format.h"

namespace quillon {

inline constexpr std::string_view kTopBorder =
    "  \u2554\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550"
    "\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550"
    "\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2557";
inline constexpr std::string_view kBottomBorder =
    "  \u255a\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550"
    "\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550"
    "\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u255d";
// The text lines hold 39 columns between their bars, one more than the
// borders, so their right bar stands one column out. The lines are kept
// byte for byte because they are the installer's published output: users'
// instructions and scripted installs may match them, and the banner's width
// follows the version text, not the frame.
inline constexpr std::string_view kTitleFormat =
    "  \u2551   Quillon \u2014 Instala\u00e7\u00e3o  v%-6s \u2551\n";
inline constexpr std::string_view kSubtitleLine =
    "  \u2551   Agente de Certificado A3            \u2551";
inline constexpr std::string_view kClosingLine =
    "  \u2551   Instala\u00e7\u00e3o conclu\u00edda!               \u2551";

class InstallerConsole {
public:
    explicit InstallerConsole(bool silent) : silent_(silent) {}

    // The text and a line feed; the text is never used as a format.
    void say(std::string_view text) const;

    // Every format used ends in its own line feed.
    template <class... A>
    void sayf(std::string_view format, const A&... args) const {
        if (!silent_) write(sformat(format, args...));
    }

    // The closing prompt, then one byte of standard input. Skipped in silent mode.
    void pauseUnlessSilent() const;

    [[noreturn]] void fatalf(std::string_view message) const;

private:
    static void write(std::string_view text);
    bool silent_;
};

// Writes "  Pressione Enter para fechar..." and waits for one byte of input.
void pause();

// Unless silent: "  ✗ ", the finished message (never used as a format) and
// the prompt of pause. Then, silent or not, ends the process with status 1.
[[noreturn]] void fatalf(bool silent, std::string_view message);

}  // namespace quillon
