// A batch of 1000 small items signed as CMS on one SoftHSM2 token through the
// signing request handler (JSON in, JSON out), against the token's own floor:
// C_SignInit and C_Sign 1000 times on the same key in this same process;
// and the part of the agent's time spent checking each token signature with
// the certificate's public key.
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>

#include "common/base64.h"
#include "host/handlers.h"
#include "softhsm_bench_token.h"
#include "token/key_lookup.h"
#include "token/pkcs11_context.h"
#include "token/signature_check.h"
#include "token/token_signer.h"

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
double tokenFloor(const quillon::bench::BenchToken& token, quillon::Bytes& lastSignature) {
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
    CK_ULONG len = 0;
    auto t0 = Clock::now();
    for (int i = 0; i < kItems; ++i) {
        len = sizeof signature;
        failures += f->C_SignInit(session, &mechanism, *key) != CKR_OK;
        failures += f->C_Sign(session, digestInfo.data(), digestInfo.size(), signature, &len) != CKR_OK;
    }
    double seconds = secondsSince(t0);
    lastSignature.assign(signature, signature + len);
    logout(**ctx, session);
    closeSession(**ctx, session);
    return failures ? -1 : seconds;
}

// kItems checks of a good token signature, as the agent makes after each
// C_Sign; negative when the signature does not check out.
double checkTime(const quillon::bench::BenchToken& token, quillon::ByteView signature) {
    using namespace quillon;
    FILE* pem = std::fopen(token.certPem.c_str(), "rb");
    if (!pem) return -1;
    X509* cert = PEM_read_X509(pem, nullptr, nullptr, nullptr);
    std::fclose(pem);
    if (!cert) return -1;
    const Bytes digestInfo = sha256DigestInfo(Bytes(32, 0x42));
    bool ok = true;
    auto t0 = Clock::now();
    for (int i = 0; i < kItems; ++i) ok = checkRsaSignature(X509_get0_pubkey(cert), digestInfo, signature) && ok;
    double seconds = secondsSince(t0);
    X509_free(cert);
    return ok ? seconds : -1;
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

    double agent = 1e9, floor = 1e9, check = 1e9;
    bool ok = true;
    for (int round = 0; round < 3; ++round) {
        CountingOutput out;
        auto t0 = Clock::now();
        handleAgentSignBatch(body, out);
        agent = std::min(agent, secondsSince(t0));
        ok = ok && out.bytes.find("QUILLON_AGENT_SIGN_BATCH_RESPONSE") != std::string::npos &&
             out.bytes.find("\"error\"") == std::string::npos;
        Bytes signature;
        double f = tokenFloor(token, signature);
        ok = ok && f > 0;
        floor = std::min(floor, f);
        double c = checkTime(token, signature);
        ok = ok && c > 0;
        check = std::min(check, c);
    }
    std::printf("batch of %d items of 200 bytes, CMS, RSA-2048 on SoftHSM2; replies ok: %s\n", kItems, ok ? "yes" : "NO");
    std::printf("token floor (C_SignInit + C_Sign, best of 3): %.1f ms = %.0f signatures/s\n", floor * 1e3,
                kItems / floor);
    std::printf("agent batch request (best of 3): %.1f ms = %.0f signatures/s = %.1f%% of the floor (goal >= 90%%)\n",
                agent * 1e3, kItems / agent, 100.0 * floor / agent);
    std::printf("signature check in the agent (length, then verify with the certificate's key; best of 3): "
                "%.1f us per signature = %.2f%% of the token's time\n",
                check * 1e6 / kItems, 100.0 * check / floor);
    return ok ? 0 : 1;
}
