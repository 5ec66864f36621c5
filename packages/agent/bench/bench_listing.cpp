// Listing 100 certificates on one SoftHSM2 token: the agent's time per
// listing request against the module's own floor (the raw C_FindObjects and
// C_GetAttributeValue calls the listing needs, made here directly), and
// against `pkcs11-tool --list-objects --type cert` on the same token.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "host/handlers.h"
#include "log/log.h"
#include "platform/stdio.h"
#include "softhsm_bench_token.h"
#include "token/pkcs11_context.h"
#include "token/pkcs11_module.h"

namespace {

using namespace quillon;
using Clock = std::chrono::steady_clock;

constexpr int kCertificates = 100;

class DiscardOutput final : public platform::OutputStream {
public:
    Status write(const std::uint8_t*, std::size_t size) override {
        bytes += size;
        return {};
    }
    std::size_t bytes = 0;
};

double micros(Clock::time_point since) { return std::chrono::duration<double, std::micro>(Clock::now() - since).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The calls a listing of one slot cannot do without, made straight through
// the function list: a session (read-write first, as the listing asks, when
// `sameSessions`), the certificate search in batches of 16, the two-call read
// of each CKA_VALUE, end of search, close.
std::size_t rawListing(const ModuleContext& ctx, CK_SLOT_ID slot, bool sameSessions = false) {
    CK_FUNCTION_LIST_PTR f = ctx.functions;
    CK_SESSION_HANDLE session;
    if (!(sameSessions &&
          f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) == CKR_OK) &&
        f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK)
        return 0;
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_ATTRIBUTE templ[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_CERTIFICATE_TYPE, &type, sizeof type}};
    f->C_FindObjectsInit(session, templ, 2);
    std::size_t bytes = 0;
    CK_OBJECT_HANDLE handles[16];
    CK_ULONG count = 0;
    std::vector<unsigned char> value;
    while (f->C_FindObjects(session, handles, 16, &count) == CKR_OK && count > 0)
        for (CK_ULONG i = 0; i < count; ++i) {
            CK_ATTRIBUTE a{CKA_VALUE, nullptr, 0};
            f->C_GetAttributeValue(session, handles[i], &a, 1);
            value.resize(a.ulValueLen);
            a.pValue = value.data();
            f->C_GetAttributeValue(session, handles[i], &a, 1);
            bytes += a.ulValueLen;
        }
    f->C_FindObjectsFinal(session);
    f->C_CloseSession(session);
    return bytes;
}

// Every module call a listing makes: the slot list in two calls, then each
// slot with a token as above (SoftHSM always adds an uninitialised one).
std::size_t rawListingAllCalls(const ModuleContext& ctx) {
    CK_ULONG count = 0;
    ctx.functions->C_GetSlotList(CK_TRUE, nullptr, &count);
    std::vector<CK_SLOT_ID> slots(count);
    ctx.functions->C_GetSlotList(CK_TRUE, slots.data(), &count);
    std::size_t bytes = 0;
    for (CK_SLOT_ID slot : slots) bytes += rawListing(ctx, slot, true);
    return bytes;
}

double wallSeconds(const std::string& command) {
    auto start = Clock::now();
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "failed: %s\n", command.c_str());
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
    bench::BenchToken token;  // one certificate with its key already
    const std::string lib = "/usr/lib/softhsm/libsofthsm2.so";
    std::string script = "cd " + token.dir + " && for i in $(seq 2 " + std::to_string(kCertificates) +
                         "); do openssl req -x509 -key k.pem -days 30 -subj \"/CN=Titular $i:$((10000000000 + i))\" "
                         "-outform DER -out c$i.der && pkcs11-tool --module " + lib + " --login --pin " + token.pin +
                         " --write-object c$i.der --type cert --label c$i || exit 1; done";
    bench::BenchToken::run(script);

    // The agent, in process: the first request loads and initialises the module.
    DiscardOutput out;
    auto coldStart = Clock::now();
    handleListCerts(out);
    const double coldMicros = micros(coldStart);
    const std::size_t replyBytes = out.bytes;

    auto ctx = getPkcs11Ctx(token.modulePath);  // the context the agent just loaded
    if (!ctx) {
        std::fprintf(stderr, "%s\n", ctx.error().text.c_str());
        return 1;
    }
    auto slots = getSlotList(**ctx);
    const CK_SLOT_ID slot = slots && !slots->empty() ? slots->front() : 0;
    const std::size_t floorBytes = rawListing(**ctx, slot);

    // Interleaved, so that load from elsewhere on the machine hits all alike.
    std::vector<double> agentTimes, loggedTimes, floorTimes, allCallsTimes;
    for (int i = 0; i < 100; ++i) {
        auto t = Clock::now();
        handleListCerts(out);
        agentTimes.push_back(micros(t));
        initLogAt(token.dir + "/quillon-agent.log");
        t = Clock::now();
        handleListCerts(out);
        loggedTimes.push_back(micros(t));
        closeLog();
        t = Clock::now();
        rawListing(**ctx, slot);
        floorTimes.push_back(micros(t));
        t = Clock::now();
        rawListingAllCalls(**ctx);
        allCallsTimes.push_back(micros(t));
    }
    const double agentMicros = median(agentTimes), agentLoggedMicros = median(loggedTimes);
    const double floorMicros = median(floorTimes), allCallsMicros = median(allCallsTimes);

    // The real process through a pipe: per-request time from 1 and 201 requests.
    const std::string agent = QUILLON_AGENT_PATH;
    bench::BenchToken::run("cd " + token.dir +
                           " && python3 -c \"import struct,sys\nb=b'{\\\"type\\\":\\\"QUILLON_LIST_CERTS\\\"}'\n"
                           "f=struct.pack('<I',len(b))+b\nopen('one.bin','wb').write(f)\nopen('many.bin','wb').write(f*201)\"");
    auto processSeconds = [&](const char* frames) {
        std::vector<double> t;
        for (int i = 0; i < 5; ++i)
            t.push_back(wallSeconds("cat " + token.dir + "/" + frames + " | " + agent + " > /dev/null"));
        std::sort(t.begin(), t.end());
        return t[t.size() / 2];
    };
    double one = processSeconds("one.bin");
    double many = processSeconds("many.bin");
    double processPerRequestMicros = (many - one) / 200 * 1e6;

    std::vector<double> toolTimes;
    for (int i = 0; i < 10; ++i)
        toolTimes.push_back(wallSeconds("pkcs11-tool --module " + lib + " --list-objects --type cert > /dev/null 2>&1"));
    std::sort(toolTimes.begin(), toolTimes.end());
    double toolMicros = toolTimes[toolTimes.size() / 2] * 1e6;

    std::printf("listing %d certificates on one SoftHSM2 token (medians)\n", kCertificates);
    std::printf("  reply: %zu bytes; CKA_VALUE bytes read per listing: %zu\n", replyBytes, floorBytes);
    std::printf("  agent, first request (load + C_Initialize): %10.1f us\n", coldMicros);
    std::printf("  agent, per request, log closed:             %10.1f us\n", agentMicros);
    std::printf("  agent, per request, log open:               %10.1f us\n", agentLoggedMicros);
    std::printf("  agent process, per request through a pipe:  %10.1f us\n", processPerRequestMicros);
    std::printf("  agent process, start + one request:         %10.1f us\n", one * 1e6);
    std::printf("  module floor (raw calls, same objects):     %10.1f us\n", floorMicros);
    std::printf("  every module call the listing makes, raw:   %10.1f us\n", allCallsMicros);
    std::printf("  pkcs11-tool --list-objects --type cert:     %10.1f us\n", toolMicros);
    std::printf("  agent / floor: %.2fx (goal <= 1.20x); with log: %.2fx; pkcs11-tool / agent: %.1fx\n",
                agentMicros / floorMicros, agentLoggedMicros / floorMicros, toolMicros / agentMicros);
    std::printf("  agent / every module call it makes: %.2fx (the agent's own work: %.1f us)\n",
                agentMicros / allCallsMicros, agentMicros - allCallsMicros);
    return 0;
}
