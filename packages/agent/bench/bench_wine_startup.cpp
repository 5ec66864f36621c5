// Start-up of Windows hosts under Wine, from spawning `wine <exe>` to having
// the pong for one ping frame: the agent's exe beside a bare MinGW-w64 host
// that only reads the frame and writes the same pong (built with this
// benchmark). Runs of all programs are interleaved, so that machine load
// falls on each alike; medians and each program's ratio to the bare host are
// printed. The Wine prefix is $WINEPREFIX, else build-win/wineprefix.
// Usage: bench_wine_startup [runs=40] [exe ...]   (default exe: build-win/quillon-agent.exe)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/frames.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

const std::string kPing = quillon::testing::frameOf(R"({"type":"QUILLON_PING"})");
constexpr std::size_t kPongFrameSize = 4 + 41;  // {"type":"QUILLON_PONG","version":"1.1.2"}

// Milliseconds from spawning `wine exe` to the whole pong; negative when the
// program gave no pong.
double pingThroughWine(const std::string& exe) {
    int toHost[2], fromHost[2];
    if (::pipe(toHost) != 0 || ::pipe(fromHost) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toHost[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromHost[1], 1);
    posix_spawn_file_actions_addclose(&actions, toHost[1]);
    posix_spawn_file_actions_addclose(&actions, fromHost[0]);
    char* argv[] = {const_cast<char*>("wine"), const_cast<char*>(exe.c_str()), nullptr};
    auto t0 = Clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, "wine", &actions, nullptr, argv, environ) != 0) {
        std::perror("posix_spawnp wine");
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(toHost[0]);
    ::close(fromHost[1]);
    bool answered = ::write(toHost[1], kPing.data(), kPing.size()) == static_cast<ssize_t>(kPing.size());
    char reply[kPongFrameSize];
    std::size_t got = 0;
    while (answered && got < sizeof reply) {
        ssize_t n = ::read(fromHost[0], reply + got, sizeof reply - got);
        if (n <= 0) answered = false;
        got += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    double millis = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    ::close(toHost[1]);
    ::close(fromHost[0]);
    ::waitpid(pid, nullptr, 0);
    return answered ? millis : -1;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 40;
    std::vector<std::string> programs = {QUILLON_BARE_HOST_PATH};
    for (int i = 2; i < argc; ++i) programs.push_back(argv[i]);
    if (argc <= 2) programs.push_back(QUILLON_WINDOWS_AGENT_PATH);

    ::setenv("WINEPREFIX", QUILLON_DEFAULT_WINEPREFIX, 0);
    ::setenv("WINEDEBUG", "-all", 1);
    ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 0);
    // One warm server for every run, as a browser's host starts find it.
    std::system("wineserver -p10 </dev/null >/dev/null 2>&1");
    std::vector<std::vector<double>> millis(programs.size());
    for (int run = -3; run < runs; ++run) {  // three warm-up rounds first
        for (std::size_t p = 0; p < programs.size(); ++p) {
            double took = pingThroughWine(programs[p]);
            if (took < 0) {
                std::fprintf(stderr, "%s gave no pong under wine\n", programs[p].c_str());
                return 1;
            }
            if (run >= 0) millis[p].push_back(took);
        }
    }

    double bare = median(millis[0]);
    std::printf("Wine start-up, spawn to pong, %d interleaved runs each (%s)\n", runs,
                std::getenv("WINEPREFIX"));
    for (std::size_t p = 0; p < programs.size(); ++p) {
        double m = median(millis[p]);
        auto [lo, hi] = std::minmax_element(millis[p].begin(), millis[p].end());
        std::printf("  median %7.1f ms  min %7.1f  max %7.1f  ratio to bare %.2fx  %s\n", m, *lo, *hi, m / bare,
                    programs[p].c_str());
    }
    return 0;
}
