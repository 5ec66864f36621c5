#include <windows.h>

#include <algorithm>

#include "common/wide_text.h"
#include "platform/console.h"

namespace quillon::platform {

namespace {

constexpr std::size_t kChunk = 8192;

bool usable(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

}  // namespace

void writeConsoleText(std::string_view utf8) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!usable(out)) return;
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) {
        const std::u16string text = utf8ToUtf16(utf8);
        for (std::size_t done = 0; done < text.size();) {
            DWORD written = 0;
            std::size_t chunk = std::min(kChunk, text.size() - done);
            // Keep a surrogate pair within one call.
            if (chunk < text.size() - done && text[done + chunk - 1] >= 0xD800 &&
                text[done + chunk - 1] <= 0xDBFF)
                --chunk;
            if (!WriteConsoleW(out, text.data() + done, static_cast<DWORD>(chunk), &written, nullptr) || written == 0)
                return;
            done += written;
        }
        return;
    }
    for (std::size_t done = 0; done < utf8.size();) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(std::min(kChunk, utf8.size() - done));
        if (!WriteFile(out, utf8.data() + done, chunk, &written, nullptr) || written == 0) return;
        done += written;
    }
}

void readOneInputByte() {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (!usable(in)) return;
    char byte = 0;
    DWORD read = 0;
    ReadFile(in, &byte, 1, &read, nullptr);
}

}  // namespace quillon::platform
