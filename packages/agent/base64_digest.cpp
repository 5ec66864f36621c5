#include "base64_digest.h"

#include "base64.h"

namespace quillon {
namespace {

bool isLineBreak(char c) { return c == '\r' || c == '\n'; }

// The end of the next piece: right after the 4k-th significant character
// (line breaks don't count) at or past `wanted` characters from `start`, so
// every piece but the last holds whole groups of four. npos when the text
// ends first.
std::size_t pieceEnd(std::string_view text, std::size_t start, std::size_t wanted) {
    // Usual case: no line break in the window, so every character counts.
    std::size_t window = wanted / 4 * 4;
    if (window > 0 && text.size() - start > window) {
        std::string_view w = text.substr(start, window);
        if (w.find('\r') == std::string_view::npos && w.find('\n') == std::string_view::npos) return start + window;
    }
    std::size_t significant = 0, i = start;
    for (; i < text.size(); ++i) {
        if (isLineBreak(text[i])) continue;
        ++significant;
        if (significant % 4 == 0 && i + 1 - start >= wanted) return i + 1;
    }
    return std::string_view::npos;
}

}  // namespace

Result<Sha256Digest> sha256OfBase64(std::string_view text, std::size_t chunkChars) {
    chunkChars = chunkChars < 4 ? 4 : chunkChars / 4 * 4;
    Sha256Stream hash;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = pieceEnd(text, start, chunkChars);
        // Only line breaks after the piece: it closes the text.
        bool last = end == std::string_view::npos || text.find_first_not_of("\r\n", end) == std::string_view::npos;
        std::string_view piece = text.substr(start, last ? std::string_view::npos : end - start);
        // Padding may only close the text. A piece that holds some before the
        // end, or any fault, is left to the whole-text decoder, so the error
        // names the same byte as it always does.
        if (!last && piece.find('=') != std::string_view::npos) break;
        auto bytes = base64Decode(piece);
        if (!bytes) break;
        hash.update(*bytes);
        if (last) return hash.finish();
        start = end;
    }
    auto whole = base64Decode(text);
    if (!whole) return fail(std::move(whole.error()));
    return sha256Of(*whole);  // not reached: a misplaced padding fails the whole text too
}

}  // namespace quillon
