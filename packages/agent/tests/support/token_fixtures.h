// Fixtures for tests that reach tokens through the candidate module list:
// environment variables set for one test, stand-in Windows base folders, the
// scripted test module placed at a candidate path, and the agent's log
// captured to a scratch file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/temp_folder.h"

namespace quillon::testing {

// Sets (or, with nullopt, unsets) a variable in the process environment the
// agent reads, and restores the previous state on destruction.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};
void setEnvVar(const std::string& name, const std::optional<std::string>& value);

// A scratch folder holding "Windows", "Program Files" and "Program Files
// (x86)"; SystemRoot, ProgramFiles and ProgramFiles(x86) point at them while
// the object lives, so only what a test places there is a candidate module.
class CandidateRoots {
public:
    CandidateRoots();
    const std::string& systemRoot() const { return systemRoot_; }
    const std::string& programFiles() const { return programFiles_; }
    const std::string& programFilesX86() const { return programFilesX86_; }
    // Copies `library` to base\relative (folders made as needed) and returns
    // the path exactly as the candidate list spells it.
    std::string place(const std::string& base, std::string_view relative, const std::string& library) const;

private:
    ScratchFolder folder_{"roots"};
    std::string systemRoot_, programFiles_, programFilesX86_;
    ScopedEnv systemEnv_, programFilesEnv_, programFilesX86Env_;
};

// The scripted test module as built.
std::string scriptedModuleLibrary();

// A copy of the scripted module at `path` whose script is `config` (JSON,
// written next to it as "<path>.json"); its journal is "<path>.journal".
class ScriptedModule {
public:
    ScriptedModule(std::string path, std::string_view config);
    const std::string& path() const { return path_; }
    // The journal's lines, and just the call names of those lines.
    std::vector<std::string> journal() const;
    std::vector<std::string> calls() const;

private:
    std::string path_;
};

// The agent's log opened at a scratch file while the object lives (closed
// before and after); lines() gives the messages without time stamps.
class CapturedLog {
public:
    CapturedLog();
    ~CapturedLog();
    std::vector<std::string> lines() const;

private:
    ScratchFolder folder_{"log"};
};

// Copies a file, making the destination's folders; paths in Windows form.
bool copyFileTo(const std::string& from, const std::string& to);
std::vector<std::string> textLines(const std::string& text);

}  // namespace quillon::testing
