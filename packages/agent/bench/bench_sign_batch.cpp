// A batch of 1000 small items signed as CMS on one SoftHSM2 token through the
// signing request handler (JSON in, JSON out), against the token's own floor:
// C_SignInit and C_Sign 1000 times on the same key in this same process.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>

#include "base64.h"
#include "handlers.h"
#include "pkcs11_context.h"
#include "pkcs11_lookup.h"
#include "pkcs11_signer.h"
#include "softhsm_bench_token.h"

namespace {

using Clock = std::chrono::steady_clock;
double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

class CountingOutput final : public quillon::platform::OutputStream {
public:
    quillon::Status write(const std::uint8_t* data, std::size_t size) override {
        bytes.append(reinterpret_cast<const char*>(data), size);
        return {};
    }
    std::string bytes;
};

constexpr int kItems = 1000;

// The token's floor: one session and login, then SignInit/Sign per signature
// over a 51-byte DigestInfo, the signature buffer ready beforehand.
double tokenFloor(const quillon::bench::BenchToken& token) {
    using namespace quillon;
    auto ctx = getPkcs11Ctx(token.modulePath);
    if (!ctx) return -1;
    CK_FUNCTION_LIST_PTR f = (*ctx)->functions;
    auto slots = getSlotList(**ctx);
    if (!slots || slots->empty()) return -1;
    auto opened = openSession(**ctx, slots->front(), CKF_SERIAL_SESSION | CKF_RW_SESSION);
    if (!opened) return -1;
    CK_SESSION_HANDLE session = *opened;
    if (!login(**ctx, session, token.pin)) return -1;
    auto key = findPrivateKey(**ctx, session, Bytes{0x01});
    Bytes digestInfo = sha256DigestInfo(Bytes(32, 0x42));
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    std::uint8_t signature[512];
    int failures = 0;
    auto t0 = Clock::now();
    for (int i = 0; i < kItems; ++i) {
        CK_ULONG len = sizeof signature;
        failures += f->C_SignInit(session, &mechanism, *key) != CKR_OK;
        failures += f->C_Sign(session, digestInfo.data(), digestInfo.size(), signature, &len) != CKR_OK;
    }
    double seconds = secondsSince(t0);
    logout(**ctx, session);
    closeSession(**ctx, session);
    return failures ? -1 : seconds;
}

}  // namespace

int main() {
    using namespace quillon;
    bench::BenchToken token;

    std::mt19937 rng(1);
    std::string body = "{\"type\":\"QUILLON_AGENT_SIGN_BATCH\",\"thumbprint\":\"" + token.thumbprint +
                       "\",\"pin\":\"" + token.pin + "\",\"items\":[";
    for (int i = 0; i < kItems; ++i) {
        Bytes item(200);
        for (auto& b : item) b = static_cast<std::uint8_t>(rng());
        body += (i ? ",{\"id\":\"" : "{\"id\":\"") + std::to_string(i) + "\",\"data\":\"" + base64Encode(item) + "\"}";
    }
    body += "]}";

    double agent = 1e9, floor = 1e9;
    bool ok = true;
    for (int round = 0; round < 3; ++round) {
        CountingOutput out;
        auto t0 = Clock::now();
        handleAgentSignBatch(body, out);
        agent = std::min(agent, secondsSince(t0));
        ok = ok && out.bytes.find("QUILLON_AGENT_SIGN_BATCH_RESPONSE") != std::string::npos &&
             out.bytes.find("\"error\"") == std::string::npos;
        double f = tokenFloor(token);
        ok = ok && f > 0;
        floor = std::min(floor, f);
    }
    std::printf("batch of %d items of 200 bytes, CMS, RSA-2048 on SoftHSM2; replies ok: %s\n", kItems, ok ? "yes" : "NO");
    std::printf("token floor (C_SignInit + C_Sign, best of 3): %.1f ms = %.0f signatures/s\n", floor * 1e3,
                kItems / floor);
    std::printf("agent batch request (best of 3): %.1f ms = %.0f signatures/s = %.1f%% of the floor (goal >= 90%%)\n",
                agent * 1e3, kItems / agent, 100.0 * floor / agent);
    return ok ? 0 : 1;
}
