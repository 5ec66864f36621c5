// Scratch folders under the system's temporary folder, for tests that need
// real files.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quillon::testing {

// A fresh folder (in the Windows path form), removed with all it holds when
// the object goes away.
class ScratchFolder {
public:
    explicit ScratchFolder(std::string_view label);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string file(std::string_view name) const;

private:
    std::string path_;
};

// A path in the Windows form as std::filesystem wants it on this host
// (backslashes become slashes off Windows).
std::filesystem::path hostFilesystemPath(std::string_view path);
// The folder and a name joined with a backslash.
std::string inFolder(std::string_view folder, std::string_view name);
// The whole file as text; empty when it cannot be read.
std::string fileText(std::string_view path);

}  // namespace quillon::testing
