// Reading and decoding one large signing request, as the request loop does:
// the frame off a stream, the type decoding, then the request's own decoding.
// Prints throughput over the body size and the peak heap held meanwhile
// (the body included), and the same figures for parsing with nlohmann-json.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include <nlohmann/json.hpp>

#include "host/framing.h"
#include "protocol/messages.h"
#include "support/frames.h"

namespace {

// ---- heap accounting: every allocation carries its size in front ----
std::atomic<std::size_t> gHeapNow{0};
std::atomic<std::size_t> gHeapPeak{0};
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* countedAlloc(std::size_t size) {
    auto* raw = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (!raw) throw std::bad_alloc();
    std::memcpy(raw, &size, sizeof size);
    const std::size_t now = gHeapNow += size;
    std::size_t peak = gHeapPeak.load();
    while (now > peak && !gHeapPeak.compare_exchange_weak(peak, now)) {
    }
    return raw + kHeader;
}

void countedFree(void* p) {
    if (!p) return;
    auto* raw = static_cast<unsigned char*>(p) - kHeader;
    std::size_t size;
    std::memcpy(&size, raw, sizeof size);
    gHeapNow -= size;
    std::free(raw);
}

}  // namespace

void* operator new(std::size_t size) { return countedAlloc(size); }
void* operator new[](std::size_t size) { return countedAlloc(size); }
void operator delete(void* p) noexcept { countedFree(p); }
void operator delete[](void* p) noexcept { countedFree(p); }
void operator delete(void* p, std::size_t) noexcept { countedFree(p); }
void operator delete[](void* p, std::size_t) noexcept { countedFree(p); }

namespace {

using namespace quillon;

class MemoryInput final : public platform::InputStream {
public:
    explicit MemoryInput(const std::string& bytes) : bytes_(bytes) {}
    Result<std::size_t> read(std::uint8_t* buffer, std::size_t size) override {
        const std::size_t n = std::min(size, bytes_.size() - pos_);
        std::memcpy(buffer, bytes_.data() + pos_, n);
        pos_ += n;
        return n;
    }

private:
    const std::string& bytes_;
    std::size_t pos_ = 0;
};

std::string base64Text(std::size_t size) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string s(size, 'A');
    std::uint32_t x = 12345;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = kAlphabet[(x >> 16) & 63];
    }
    return s;
}

struct Figures {
    double seconds;
    std::size_t peakHeap;  // above what was held before the run
};

Figures measure(const std::function<void()>& run) {
    double best = 1e9;
    std::size_t peak = 0;
    for (int i = 0; i < 5; ++i) {
        const std::size_t before = gHeapNow.load();
        gHeapPeak = before;
        const auto t0 = std::chrono::steady_clock::now();
        run();
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
        peak = std::max(peak, gHeapPeak.load() - before);
    }
    return {best, peak};
}

void report(const char* what, std::size_t bodySize, Figures f, bool bodyInPeak) {
    const std::size_t peak = f.peakHeap + (bodyInPeak ? 0 : bodySize);
    std::printf("%-46s %8.1f MB/s   peak heap %7.1f MiB = %.2f x body\n", what, bodySize / f.seconds / 1e6,
                peak / 1048576.0, double(peak) / double(bodySize));
}

}  // namespace

int main() {
    constexpr std::size_t kData = 64u << 20;
    const std::string data = base64Text(kData);

    const std::string single = R"({"type":"QUILLON_AGENT_SIGN","thumbprint":")" + std::string(40, 'a') +
                               R"(","pin":"1234","format":"pkcs7-detached","data":")" + data + "\"}";
    std::string batch = R"({"type":"QUILLON_AGENT_SIGN_BATCH","thumbprint":")" + std::string(40, 'a') +
                        R"(","pin":"1234","items":[)";
    constexpr int kItems = 64;
    for (int i = 0; i < kItems; ++i) {
        if (i) batch += ',';
        batch += R"({"id":")" + std::to_string(i) + R"(","format":"raw","data":")" +
                 data.substr(i * (kData / kItems), kData / kItems) + "\"}";
    }
    batch += "]}";
    const std::string singleFrame = quillon::testing::frameOf(single);
    const std::string batchFrame = quillon::testing::frameOf(batch);

    std::printf("request bodies: single %.1f MiB, batch of %d items %.1f MiB; best of 5 runs\n",
                single.size() / 1048576.0, kItems, batch.size() / 1048576.0);

    // The whole road of a request up to the handler: frame, type, record.
    report("read + decode single (ours)", single.size(), measure([&] {
        MemoryInput in(singleFrame);
        auto body = readMessage(in);
        auto base = decodeBaseMessage(body->view());
        auto msg = decodeAgentSignMessage(body->view());
        if (!base || !msg || msg->Data.view().size() != kData) std::abort();
    }), true);
    report("read + decode batch (ours)", batch.size(), measure([&] {
        MemoryInput in(batchFrame);
        auto body = readMessage(in);
        auto base = decodeBaseMessage(body->view());
        auto msg = decodeAgentSignBatchMessage(body->view());
        if (!base || !msg || msg->Items.size() != kItems) std::abort();
    }), true);

    // The decodings alone, body already in memory.
    report("decode single, both decodings (ours)", single.size(), measure([&] {
        auto base = decodeBaseMessage(single);
        auto msg = decodeAgentSignMessage(single);
        if (!base || !msg) std::abort();
    }), false);
    // Some writers escape every solidus; that takes the decoding path.
    std::string escapedData;
    escapedData.reserve(kData + kData / 32);
    for (char c : data) {
        if (c == '/') escapedData += '\\';
        escapedData += c;
    }
    const std::string escaped = R"({"type":"QUILLON_AGENT_SIGN","data":")" + escapedData + "\"}";
    report("decode single with \\/ escapes (ours)", escaped.size(), measure([&] {
        auto msg = decodeAgentSignMessage(escaped);
        if (!msg || msg->Data.view().size() != kData) std::abort();
    }), false);
    report("decode single, type only (ours)", single.size(), measure([&] {
        if (!decodeBaseMessage(single)) std::abort();
    }), false);

    // nlohmann-json, parse alone: a lower bound on what it costs, before the
    // layer that lexes strings for the replacement and folding rules.
    report("parse single (nlohmann-json)", single.size(), measure([&] {
        auto j = nlohmann::json::parse(single);
        if (j["data"].get_ref<const std::string&>().size() != kData) std::abort();
    }), false);
    report("parse single, SAX that keeps nothing (nlohmann)", single.size(), measure([&] {
        if (!nlohmann::json::accept(single)) std::abort();
    }), false);
    report("parse batch (nlohmann-json)", batch.size(), measure([&] {
        auto j = nlohmann::json::parse(batch);
        if (j["items"].size() != kItems) std::abort();
    }), false);
    return 0;
}
