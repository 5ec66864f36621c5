// Start-up of Windows hosts under Wine, from spawning `wine <exe>` to having
// the pong for one ping frame: the agent's exe beside a bare MinGW-w64 host
// that only reads the frame and writes the same pong (built with this
// benchmark). Runs of all programs are interleaved, so that machine load
// falls on each alike; medians and each program's ratio to the bare host are
// printed. The Wine prefix is $WINEPREFIX, else build-win/wineprefix.
// Usage: bench_wine_startup [runs=40] [exe ...]   (default exe: build-win/quillon-agent.exe)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "piped_process.h"

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds from spawning `wine exe` to the whole pong; negative when the
// program gave no pong.
double pingThroughWine(const std::string& exe) {
    using namespace quillon::bench;
    const auto t0 = Clock::now();
    PipedProcess host = startPiped({"wine", exe});
    const bool answered = exchange(host, kPingFrame, kPongFrameSize);
    const double millis = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    stopPiped(host);
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
