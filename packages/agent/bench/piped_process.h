// A program started with pipes on its standard input and output, and the
// ping it is timed with, for the benchmarks that time starts and exchanges.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "support/frames.h"

extern char** environ;

namespace quillon::bench {

inline const std::string kPingFrame = testing::frameOf(R"({"type":"QUILLON_PING"})");
inline constexpr std::size_t kPongFrameSize = 4 + 41;  // {"type":"QUILLON_PONG","version":"1.1.2"}

struct PipedProcess {
    pid_t pid = -1;
    int in = -1, out = -1;  // its standard input and output, from this side
};

// Starts words[0] (looked up on PATH) with the rest as its arguments; a
// benchmark that cannot start its program ends.
inline PipedProcess startPiped(const std::vector<std::string>& words) {
    int toChild[2], fromChild[2];
    if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    posix_spawn_file_actions_addclose(&actions, toChild[1]);
    posix_spawn_file_actions_addclose(&actions, fromChild[0]);
    std::vector<char*> argv;
    for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    PipedProcess process;
    if (posix_spawnp(&process.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::perror(("posix_spawnp " + words[0]).c_str());
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    process.in = toChild[1];
    process.out = fromChild[0];
    return process;
}

// Writes `message` and reads `replySize` bytes back; false when the reply
// ends short.
inline bool exchange(const PipedProcess& process, std::string_view message, std::size_t replySize) {
    if (::write(process.in, message.data(), message.size()) != static_cast<ssize_t>(message.size())) return false;
    char reply[4096];  // the reply is only counted
    for (std::size_t got = 0; got < replySize;) {
        const ssize_t n = ::read(process.out, reply, std::min(sizeof reply, replySize - got));
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// Closes both pipes and waits for the program to end.
inline void stopPiped(PipedProcess& process) {
    ::close(process.in);
    ::close(process.out);
    ::waitpid(process.pid, nullptr, 0);
}

}  // namespace quillon::bench
