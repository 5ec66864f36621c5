// Start-up and ping figures of the real agent binary over pipes:
//   - from spawning the process to having its first pong (goal < 2 ms);
//   - one ping round trip in a running process (goal < 20 us);
// each beside the same exchange with /bin/cat, which does no work at all.
// Usage: bench_agent_startup [starts=300] [pings=20000]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "piped_process.h"

namespace {

using Clock = std::chrono::steady_clock;

using quillon::bench::kPingFrame;
using quillon::bench::kPongFrameSize;
using quillon::bench::PipedProcess;

PipedProcess startAgent() { return quillon::bench::startPiped({QUILLON_AGENT_PATH}); }
PipedProcess startCat() { return quillon::bench::startPiped({"/bin/cat"}); }

// Sends a ping and waits for `replySize` bytes back.
void pingOnce(const PipedProcess& process, std::size_t replySize = kPongFrameSize) {
    if (!quillon::bench::exchange(process, kPingFrame, replySize)) std::abort();
}

void report(const char* what, std::vector<double>& micros, double goal) {
    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) { return micros[static_cast<std::size_t>(q * (micros.size() - 1))]; };
    double sum = 0;
    for (double m : micros) sum += m;
    std::printf("%-34s n=%-6zu min=%8.1f us  median=%8.1f us  p95=%8.1f us  mean=%8.1f us  (goal < %.0f us)\n", what,
                micros.size(), micros.front(), at(0.5), at(0.95), sum / micros.size(), goal);
}

double microsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    int starts = argc > 1 ? std::atoi(argv[1]) : 300;
    int pings = argc > 2 ? std::atoi(argv[2]) : 20000;

    // Keep the benchmark's log lines out of the user's temporary folder.
    char scratch[] = "/tmp/quillon-bench-XXXXXX";
    if (!::mkdtemp(scratch)) return 1;
    ::setenv("TMPDIR", scratch, 1);

    std::vector<double> startup;
    for (int i = 0; i < starts; ++i) {
        auto t0 = Clock::now();
        PipedProcess agent = startAgent();
        pingOnce(agent);
        startup.push_back(microsSince(t0));
        quillon::bench::stopPiped(agent);
    }
    report("spawn to first pong", startup, 2000);

    // The same exchange with /bin/cat echoing the ping: what process creation
    // and pipes cost on this machine right now, none of it ours.
    std::vector<double> baseline;
    for (int i = 0; i < starts; ++i) {
        auto t0 = Clock::now();
        PipedProcess cat = startCat();
        pingOnce(cat, kPingFrame.size());
        baseline.push_back(microsSince(t0));
        quillon::bench::stopPiped(cat);
    }
    report("baseline: spawn to echo (/bin/cat)", baseline, 2000);

    auto roundTrips = [&](PipedProcess process, std::size_t replySize) {
        for (int i = 0; i < 200; ++i) pingOnce(process, replySize);  // warm up
        std::vector<double> micros;
        micros.reserve(static_cast<std::size_t>(pings));
        for (int i = 0; i < pings; ++i) {
            auto t0 = Clock::now();
            pingOnce(process, replySize);
            micros.push_back(microsSince(t0));
        }
        quillon::bench::stopPiped(process);
        return micros;
    };
    auto agentTrips = roundTrips(startAgent(), kPongFrameSize);
    report("ping round trip (running agent)", agentTrips, 20);
    // Two processes handing a message back and forth cost this much anyway;
    // on an idle machine the wake-up across CPUs dominates (pin with taskset
    // to one CPU to see the agent's own share).
    auto catTrips = roundTrips(startCat(), kPingFrame.size());
    report("baseline: echo round trip (/bin/cat)", catTrips, 20);

    std::string log = std::string(scratch) + "/quillon-agent.log";
    ::unlink(log.c_str());
    ::rmdir(scratch);
    return 0;
}
