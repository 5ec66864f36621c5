#include "common/paths.h"

#include <algorithm>

namespace quillon {

namespace {

bool isSeparator(char c) { return c == '\\' || c == '/'; }

bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Length of the leading volume: "C:" or a UNC "\\host\share".
std::size_t volumeLength(std::string_view path) {
    if (path.size() >= 2 && path[1] == ':' && isLetter(path[0])) return 2;
    if (path.size() >= 3 && isSeparator(path[0]) && isSeparator(path[1]) && !isSeparator(path[2])) {
        std::size_t pos = 2;
        while (pos < path.size() && !isSeparator(path[pos])) ++pos;  // host
        if (pos < path.size()) {
            ++pos;
            while (pos < path.size() && !isSeparator(path[pos])) ++pos;  // share
        }
        return pos;
    }
    return 0;
}

}  // namespace

std::string normalizePath(std::string_view path) {
    std::size_t volLen = volumeLength(path);
    std::string volume(path.substr(0, volLen));
    std::replace(volume.begin(), volume.end(), '/', '\\');
    std::string_view rest = path.substr(volLen);

    if (rest.empty()) {
        // A bare UNC volume stands as it is; a bare drive or nothing means
        // the current folder.
        if (volLen > 2 && volume[0] == '\\') return volume;
        return volume + ".";
    }

    const bool rooted = isSeparator(rest[0]);
    std::string out;
    out.reserve(rest.size() + 1);
    std::size_t r = 0, dotdot = 0;
    if (rooted) {
        out.push_back('\\');
        r = dotdot = 1;
    }
    const std::size_t n = rest.size();
    auto endsElement = [&](std::size_t i) { return i == n || isSeparator(rest[i]); };
    while (r < n) {
        if (isSeparator(rest[r])) {
            ++r;
        } else if (rest[r] == '.' && endsElement(r + 1)) {
            ++r;
        } else if (rest[r] == '.' && rest[r + 1] == '.' && endsElement(r + 2)) {
            r += 2;
            if (out.size() > dotdot) {
                // Remove the element before it.
                std::size_t w = out.size() - 1;
                while (w > dotdot && out[w] != '\\') --w;
                out.resize(w);
            } else if (!rooted) {
                // A relative path keeps the ".." it cannot resolve.
                if (!out.empty()) out.push_back('\\');
                out += "..";
                dotdot = out.size();
            }
            // At the root ".." is dropped.
        } else {
            if ((rooted && out.size() != 1) || (!rooted && !out.empty())) out.push_back('\\');
            while (r < n && !isSeparator(rest[r])) out.push_back(rest[r++]);
        }
    }
    if (out.empty()) out.push_back('.');
    volume += out;
    return volume;
}

std::string joinPath(std::string_view base, std::string_view relative) {
    return joinPathElements({base, relative});
}

std::string joinPathElements(std::initializer_list<std::string_view> elements) {
    std::string joined;
    bool any = false;
    for (std::string_view e : elements) {
        if (e.empty()) continue;
        if (any) {
            char last = joined.back();
            // After a bare drive ("C:") the path stays relative to that drive.
            if (!isSeparator(last) && last != ':') joined.push_back('\\');
        }
        joined += e;
        any = true;
    }
    if (!any) return {};
    return normalizePath(joined);
}

}  // namespace quillon
