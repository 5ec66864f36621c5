#include "support/temp_folder.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <system_error>

#include "platform/fs.h"

namespace quillon::testing {

std::filesystem::path hostFilesystemPath(std::string_view path) {
    std::u8string text(path.begin(), path.end());
#ifndef _WIN32
    for (auto& c : text)
        if (c == u8'\\') c = u8'/';
#endif
    return std::filesystem::path(text);
}

ScratchFolder::ScratchFolder(std::string_view label) {
    static std::atomic<unsigned> counter{0};
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = inFolder(platform::tempDirectory(), "quillon-test-" + std::string(label) + "-" + std::to_string(stamp) +
                                                    "-" + std::to_string(counter++));
    (void)platform::createDirectories(path_);
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(hostFilesystemPath(path_), ignored);
}

std::string ScratchFolder::file(std::string_view name) const { return inFolder(path_, name); }

std::string inFolder(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (!path.empty() && path.back() != '\\' && path.back() != '/') path += '\\';
    path += name;
    return path;
}

std::string fileText(std::string_view path) {
    auto data = platform::readWholeFile(path);
    if (!data) return {};
    return std::string(data->begin(), data->end());
}

}  // namespace quillon::testing
