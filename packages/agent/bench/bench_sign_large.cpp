// One large document signed (CMS) through the real agent process, next to a
// bare host that this same program becomes when started with --bare-host:
// it reads the frame from a pipe into one buffer, Base64-decodes the data
// piece by piece into one reused buffer with a table decoder and SHA-256s
// it, and answers with one small frame. Both are fed the same frame through a
// real pipe; runs alternate between the two so that other load on the
// machine falls on both. Printed: the median time from the first byte of the
// request to the last byte of the reply, the peak memory (VmHWM) of each
// process, and the agent's figures as multiples of the bare host's.
#include <openssl/evp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "common/base64.h"
#include "softhsm_bench_token.h"
#include "support/frames.h"

namespace {

using Clock = std::chrono::steady_clock;
double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

void writeAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w <= 0) return;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}
bool readAll(int fd, char* p, std::size_t n) {
    while (n > 0) {
        ssize_t r = ::read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}
using quillon::testing::frameOf;
bool readLength(int fd, std::uint32_t& n) {
    char header[4];
    if (!readAll(fd, header, sizeof header)) return false;
    n = quillon::testing::announcedLength({header, sizeof header});
    return true;
}
std::string readReply(int fd) {
    std::uint32_t n = 0;
    if (!readLength(fd, n)) return {};
    std::string body(n, '\0');
    readAll(fd, body.data(), n);
    return body;
}

long highWaterKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

// ---- the bare host ----

// The Base64 text between "data":" and the next quote, SHA-256d.
std::string digestOfDataField(std::string_view body) {
    constexpr std::string_view kKey = "\"data\":\"";
    std::size_t start = body.find(kKey);
    if (start == std::string_view::npos) return "no data";
    start += kKey.size();
    std::string_view text = body.substr(start, body.find('"', start) - start);
    constexpr std::size_t kPiece = 1u << 20;  // characters of text, a multiple of 4
    std::vector<unsigned char> out(kPiece / 4 * 3);
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_DigestInit_ex(md, EVP_sha256(), nullptr);
    for (std::size_t at = 0; at < text.size(); at += kPiece) {
        std::string_view piece = text.substr(at, kPiece);
        int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(piece.data()),
                                static_cast<int>(piece.size()));
        if (n < 0) return "bad base64";
        if (at + kPiece >= text.size())  // the padding decodes to bytes that are not data
            n -= static_cast<int>(piece.size() - piece.find_last_not_of('=') - 1);
        EVP_DigestUpdate(md, out.data(), static_cast<std::size_t>(n));
    }
    unsigned char digest[32];
    EVP_DigestFinal_ex(md, digest, nullptr);
    EVP_MD_CTX_free(md);
    char hex[65];
    for (int i = 0; i < 32; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return hex;
}

int bareHost() {
    for (;;) {
        std::uint32_t n = 0;
        if (!readLength(0, n)) return 0;
        char* body = static_cast<char*>(std::malloc(n));
        if (!body || !readAll(0, body, n)) return 1;
        std::string reply = "{\"digest\":\"" + digestOfDataField(std::string_view(body, n)) + "\"}";
        std::free(body);
        std::string out = frameOf(reply);
        writeAll(1, out.data(), out.size());
    }
}

// ---- the runs ----

struct Run {
    double seconds = 0;
    long peakKiB = 0;
    std::string reply;
};

// Starts `program`, warms it up with a small request (for the agent: module
// loaded and initialised), then times the large one; the peak memory is the
// whole process's.
Run runHost(const char* program, const char* argument, const std::string& warmup, const std::string& large) {
    int toHost[2], fromHost[2];
    if (pipe(toHost) != 0 || pipe(fromHost) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(toHost[0], 0);
        dup2(fromHost[1], 1);
        close(toHost[1]);
        close(fromHost[0]);
        execl(program, program, argument, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(toHost[0]);
    close(fromHost[1]);
    Run run;
    writeAll(toHost[1], warmup.data(), warmup.size());
    readReply(fromHost[0]);
    auto t0 = Clock::now();
    std::thread writer([&] { writeAll(toHost[1], large.data(), large.size()); });
    run.reply = readReply(fromHost[0]);
    run.seconds = secondsSince(t0);
    writer.join();
    // The high-water mark of the host's own address space (ru_maxrss would
    // also count the pages this process held before the exec).
    run.peakKiB = highWaterKiB(pid);
    close(toHost[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    close(fromHost[0]);
    return run;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// A random document as Base64, and the hex SHA-256 of its bytes.
std::pair<std::string, std::string> randomDocument(std::size_t documentBytes) {
    quillon::Bytes document(documentBytes);
    std::mt19937_64 rng(42);
    for (auto& b : document) b = static_cast<std::uint8_t>(rng());
    unsigned char digest[32];
    EVP_Digest(document.data(), document.size(), digest, nullptr, EVP_sha256(), nullptr);
    char hex[65];
    for (int i = 0; i < 32; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return {quillon::base64Encode(document), hex};
}

std::string signBody(const quillon::bench::BenchToken& token, const std::string& data) {
    return "{\"type\":\"QUILLON_AGENT_SIGN\",\"thumbprint\":\"" + token.thumbprint + "\",\"data\":\"" + data +
           "\",\"format\":\"\",\"pin\":\"" + token.pin + "\"}";
}

// One document size: the agent and the bare host, alternating, `rounds` each.
bool compare(const char* self, const quillon::bench::BenchToken& token, const char* label, std::size_t document,
             int rounds) {
    auto body = [&](const std::string& data) { return signBody(token, data); };
    auto [text, digest] = randomDocument(document);
    const std::string largeBody = body(text);
    text = std::string();
    const std::string large = frameOf(largeBody);
    const std::string warmup = frameOf(body("YWJj"));

    std::vector<double> agentSeconds, bareSeconds, agentPeak, barePeak;
    bool ok = true;
    for (int i = 0; i < rounds; ++i) {
        Run agent = runHost(QUILLON_AGENT_PATH, nullptr, warmup, large);
        ok = ok && agent.reply.find("QUILLON_AGENT_SIGN_RESPONSE") != std::string::npos;
        agentSeconds.push_back(agent.seconds);
        agentPeak.push_back(static_cast<double>(agent.peakKiB));
        Run bare = runHost(self, "--bare-host", warmup, large);
        ok = ok && bare.reply == "{\"digest\":\"" + digest + "\"}";
        bareSeconds.push_back(bare.seconds);
        barePeak.push_back(static_cast<double>(bare.peakKiB));
    }
    const double bodyMiB = static_cast<double>(largeBody.size()) / (1 << 20);
    const double at = median(agentSeconds), bt = median(bareSeconds);
    const double am = median(agentPeak) / 1024, bm = median(barePeak) / 1024;
    std::printf("%s: document %.2f MiB, body %zu bytes (%.2f MiB), medians of %d alternating runs, replies ok: %s\n",
                label, static_cast<double>(document) / (1 << 20), largeBody.size(), bodyMiB, rounds,
                ok ? "yes" : "NO");
    std::printf("  time, frame in to reply out: agent %.1f ms, bare host %.1f ms = %.2fx\n", at * 1e3, bt * 1e3,
                at / bt);
    std::printf("  peak memory (VmHWM): agent %.1f MiB = %.2fx body, bare host %.1f MiB = %.2fx body; agent/bare %.2fx\n",
                am, am / bodyMiB, bm, bm / bodyMiB, am / bm);
    std::fflush(stdout);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == "--bare-host") return bareHost();
    quillon::bench::BenchToken token;
    // The largest document whose request body stays under 64 MiB.
    const std::size_t nearLimit = ((64u << 20) - 1 - signBody(token, "").size()) / 4 * 3;
    bool ok = compare(argv[0], token, "near the browser's limit", nearLimit, 7);
    ok = compare(argv[0], token, "1 MiB", 1u << 20, 15) && ok;
    return ok ? 0 : 1;
}
