// The PIN of a signing request must not stay in the agent's memory once the
// request is answered: the built agent on a SoftHSM2 token, its writable
// memory read through /proc after a few requests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/process/agent_process.h"
#include "softhsm_tokens.h"
#include "support/frames.h"

namespace quillon {
namespace {

using testing::SoftHsmLab;

// The writable mappings of `pid` (heap, stacks, data, anonymous memory)
// that hold `needle`, by their names in /proc/PID/maps.
std::vector<std::string> mappingsHolding(int pid, const std::string& needle) {
    std::vector<std::string> found;
    const std::string proc = "/proc/" + std::to_string(pid);
    const int mem = ::open((proc + "/mem").c_str(), O_RDONLY);
    if (mem < 0) return {"<cannot open " + proc + "/mem>"};
    std::ifstream maps(proc + "/maps");
    for (std::string line; std::getline(maps, line);) {
        std::istringstream fields(line);
        std::string range, perms, offset, device, inode, name;
        fields >> range >> perms >> offset >> device >> inode;
        std::getline(fields >> std::ws, name);
        if (perms.size() < 2 || perms[1] != 'w') continue;
        const auto dash = range.find('-');
        const unsigned long start = std::stoul(range.substr(0, dash), nullptr, 16);
        const unsigned long end = std::stoul(range.substr(dash + 1), nullptr, 16);
        std::string bytes(end - start, '\0');
        const ssize_t n = ::pread(mem, bytes.data(), bytes.size(), static_cast<off_t>(start));
        if (n <= 0) continue;
        bytes.resize(static_cast<std::size_t>(n));
        if (bytes.find(needle) != std::string::npos) found.push_back(range + " " + (name.empty() ? "<anonymous>" : name));
    }
    ::close(mem);
    return found;
}

TEST(PinInMemory, IsGoneAfterWrongPinSignaturesAndPings) {
    if (!testing::softHsmAvailable()) GTEST_SKIP() << "SoftHSM2, pkcs11-tool or openssl missing";
    if (process::agentRunsUnderWine()) GTEST_SKIP() << "reads the memory of a native agent";
    SoftHsmLab lab;
    lab.initToken("t1", "123456");
    const auto cert = lab.importPair("t1", "123456", "main", "rsa:2048", "01");
    lab.placeModule("System32/eToken.dll");

    // A short PIN (held inside a string object when copied), a long one, one
    // written with an escape, so that it is decoded into a copy, and one with
    // invalid UTF-8, whose decoded copy (each such byte becomes U+FFFD, three
    // bytes) is longer than the text it comes from. The needle is what the
    // copy holds past the first 16 bytes, which the heap's own bookkeeping
    // overwrites in a freed block.
    const std::string invalidUtf8 = "0123456789abcdefQx7#wr0ng-utf8-" + std::string(100, 'x') + std::string(100, '\xFF');
    for (const auto& [pin, inJson] : {std::pair<std::string, std::string>{"Qx7#wr0ng", "Qx7#wr0ng"},
                                      {"Qx7#wr0ng-longer-than-inline", "Qx7#wr0ng-longer-than-inline"},
                                      {"Qx7#wr0ng-escaped", R"(Qx7\u0023wr0ng-escaped)"},
                                      {"Qx7#wr0ng-utf8-", invalidUtf8}}) {
        SCOPED_TRACE(pin);
        process::LiveAgent agent({{"TMPDIR", lab.dir()}});
        const std::string single = R"({"type":"QUILLON_AGENT_SIGN","thumbprint":")" + cert.thumbprint +
                                   R"(","data":"YWJj","format":"","pin":")" + inJson + R"("})";
        const std::string batch = R"({"type":"QUILLON_AGENT_SIGN_BATCH","thumbprint":")" + cert.thumbprint +
                                  R"(","pin":")" + inJson + R"(","items":[{"id":"1","data":"YWJj"}]})";
        std::string requests = testing::frameOf(single) + testing::frameOf(batch);
        for (int i = 0; i < 5; ++i) requests += testing::frameOf(R"({"type":"QUILLON_PING"})");
        ASSERT_TRUE(agent.send(requests));
        std::vector<std::string> replies(7);
        for (auto& reply : replies) ASSERT_TRUE(agent.receiveFrame(reply));
        EXPECT_NE(replies[0].find(R"("type":"ERROR")"), std::string::npos) << replies[0];
        EXPECT_NE(replies[1].find(R"("type":"ERROR")"), std::string::npos) << replies[1];
        EXPECT_NE(replies[6].find("QUILLON_PONG"), std::string::npos) << replies[6];

        EXPECT_EQ(mappingsHolding(agent.pid(), pin), std::vector<std::string>{});
        agent.closeInput();
        EXPECT_EQ(agent.wait().exitStatus, 0);
    }
}

}  // namespace
}  // namespace quillon
