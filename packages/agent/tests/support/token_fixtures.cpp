#include "support/token_fixtures.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

#include "common/paths.h"
#include "log/log.h"
#include "platform/fs.h"

namespace quillon::testing {

void setEnvVar(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
    // The agent reads the Win32 environment block; keep the C runtime's
    // copy in step too.
    SetEnvironmentVariableA(name.c_str(), value ? value->c_str() : nullptr);
    _putenv_s(name.c_str(), value ? value->c_str() : "");
#else
    if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
    else
        ::unsetenv(name.c_str());
#endif
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value)
    : name_(std::move(name)), previous_(platform::getEnv(name_)) {
    setEnvVar(name_, value);
}

ScopedEnv::~ScopedEnv() { setEnvVar(name_, previous_); }

bool copyFileTo(const std::string& from, const std::string& to) {
    std::error_code ec;
    std::filesystem::path dest = hostFilesystemPath(to);
    std::filesystem::create_directories(dest.parent_path(), ec);
    return std::filesystem::copy_file(hostFilesystemPath(from), dest, std::filesystem::copy_options::overwrite_existing, ec);
}

std::vector<std::string> textLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

CandidateRoots::CandidateRoots()
    : systemRoot_(folder_.file("Windows")),
      programFiles_(folder_.file("Program Files")),
      programFilesX86_(folder_.file("Program Files (x86)")),
      systemEnv_("SystemRoot", systemRoot_),
      programFilesEnv_("ProgramFiles", programFiles_),
      programFilesX86Env_("ProgramFiles(x86)", programFilesX86_) {}

std::string CandidateRoots::place(const std::string& base, std::string_view relative,
                                  const std::string& library) const {
    std::string path = joinPath(base, relative);
    copyFileTo(library, path);
    return path;
}

std::string scriptedModuleLibrary() {
    std::string path = QUILLON_SCRIPTED_MODULE;
#ifdef _WIN32
    // Built on the Linux side; under Wine the Unix root is drive Z:.
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
#endif
    return path;
}

ScriptedModule::ScriptedModule(std::string path, std::string_view config) : path_(std::move(path)) {
    copyFileTo(scriptedModuleLibrary(), path_);
    (void)platform::replaceWholeFile(path_ + ".json",
                                   ByteView(reinterpret_cast<const std::uint8_t*>(config.data()), config.size()),
                                   0644);
}

std::vector<std::string> ScriptedModule::journal() const { return textLines(fileText(path_ + ".journal")); }

std::vector<std::string> ScriptedModule::calls() const {
    std::vector<std::string> names;
    for (const auto& line : journal()) names.push_back(line.substr(0, line.find(' ')));
    return names;
}

CapturedLog::CapturedLog() {
    closeLog();
    initLogAt(folder_.file("quillon-agent.log"));
}

CapturedLog::~CapturedLog() { closeLog(); }

std::vector<std::string> CapturedLog::lines() const {
    std::vector<std::string> messages;
    for (const auto& line : textLines(fileText(folder_.file("quillon-agent.log")))) {
        // "[YYYY-MM-DD hh:mm:ss] " is 22 characters.
        messages.push_back(line.size() >= 22 ? line.substr(22) : line);
    }
    return messages;
}

}  // namespace quillon::testing
