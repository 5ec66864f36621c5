#include <gtest/gtest.h>

#include "host/handlers.h"
#include "protocol/messages.h"
#include "support/failing_allocations.h"
#include "support/memory_streams.h"
#include "support/token_fixtures.h"

namespace quillon {
namespace {

using testing::frameOf;
using testing::MemoryInput;
using testing::MemoryOutput;
using testing::splitFrames;

constexpr const char* kPong = R"({"type":"QUILLON_PONG","version":"1.1.2"})";

std::string errorReply(std::string_view text) {
    return R"({"type":"ERROR","error":")" + std::string(text) + "\"}";
}

// The reply bodies for the given request bodies, sent back to back.
std::vector<std::string> serve(const std::vector<std::string>& requests) {
    std::string stream;
    for (const auto& r : requests) stream += frameOf(r);
    MemoryInput in(stream);
    MemoryOutput out;
    serveRequests(in, out);
    auto replies = splitFrames(out.bytes);
    EXPECT_TRUE(replies.has_value()) << "output is not a clean run of frames";
    return replies.value_or(std::vector<std::string>{});
}

std::string serveOne(const std::string& request) {
    auto replies = serve({request});
    EXPECT_EQ(replies.size(), 1u);
    return replies.empty() ? std::string() : replies[0];
}

TEST(RequestLoop, PingIsAnsweredWithThePongWhateverElseTheBodyHolds) {
    EXPECT_EQ(serveOne(R"({"type":"QUILLON_PING"})"), kPong);
    EXPECT_EQ(serveOne(R"({"type":"QUILLON_PING","pin":1234,"extra":{"a":[1,2]}})"), kPong);
}

TEST(RequestLoop, UnknownTypesAreRefusedWithTheTypeAsSent) {
    EXPECT_EQ(serveOne("{}"), errorReply("tipo não suportado: "));
    EXPECT_EQ(serveOne("null"), errorReply("tipo não suportado: "));
    EXPECT_EQ(serveOne(R"({"type":"quillon_ping"})"), errorReply("tipo não suportado: quillon_ping"));
    EXPECT_EQ(serveOne(R"({"type":" QUILLON_PING"})"), errorReply("tipo não suportado:  QUILLON_PING"));
    EXPECT_EQ(serveOne(R"({"type":"QUILLON_PONG"})"), errorReply("tipo não suportado: QUILLON_PONG"));
}

TEST(RequestLoop, UndecodableBodiesAreRefusedAsInvalidJson) {
    for (const char* body : {"", "[]", "5", "\"QUILLON_PING\"", "{", R"({"type":5})", "{} {}"}) {
        std::string reply = serveOne(body);
        EXPECT_EQ(reply.rfind(R"({"type":"ERROR","error":"json inválido: )", 0), 0u) << body << " -> " << reply;
        EXPECT_GT(reply.size(), errorReply("json inválido: ").size()) << "a description follows the prefix";
    }
}

TEST(RequestLoop, BackToBackFramesGetOneReplyEachInOrder) {
    std::vector<std::string> requests = {
        R"({"type":"QUILLON_PING"})", "[]", R"({"type":"X"})",
        R"({"type":"QUILLON_AGENT_SIGN"})", R"({"type":"QUILLON_AGENT_SIGN_BATCH"})",  // each to its own handler
        R"({"type":"QUILLON_PING"})",
    };
    auto replies = serve(requests);
    ASSERT_EQ(replies.size(), requests.size());
    EXPECT_EQ(replies[0], kPong);
    EXPECT_EQ(replies[1].rfind(R"({"type":"ERROR","error":"json inválido: )", 0), 0u);
    EXPECT_EQ(replies[2], errorReply("tipo não suportado: X"));
    EXPECT_EQ(replies[3], errorReply("thumbprint, data e pin são obrigatórios"));
    EXPECT_EQ(replies[4], errorReply("thumbprint, pin e items são obrigatórios"));
    EXPECT_EQ(replies[5], kPong);
}

TEST(RequestLoop, BatchesOverTheItemLimitAreRefusedWhole) {
    testing::CandidateRoots noModules;
    auto batchOf = [](std::size_t n) {
        std::string items;
        for (std::size_t i = 0; i < n; ++i) items += i ? ",{}" : "{}";
        return R"({"type":"QUILLON_AGENT_SIGN_BATCH","thumbprint":"ab","pin":"1234","items":[)" + items + "]}";
    };
    auto replies = serve({batchOf(kMaxBatchItems + 1), batchOf(kMaxBatchItems), R"({"type":"QUILLON_PING"})"});
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0], errorReply("items demais: no máximo 10000 por batch"));
    EXPECT_EQ(replies[1].find("items demais"), std::string::npos) << "the limit itself is allowed";
    EXPECT_EQ(replies[2], kPong);

    auto decoded = decodeAgentSignBatchMessage(batchOf(3 * kMaxBatchItems));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->Items.size(), kMaxBatchItems + 1) << "no more entries kept than it takes to refuse";
    std::string malformed = batchOf(3 * kMaxBatchItems);
    malformed.insert(malformed.size() - 100, "1");
    EXPECT_FALSE(decodeAgentSignBatchMessage(malformed)) << "entries past the limit are still checked";
}

// Every allocation of a request fails in turn, once and then for good: no
// exception leaves the loop, a failed request gets an ERROR reply of its own
// and the request after it is still served.
TEST(RequestLoop, AllocationFailuresAnywhereInARequestAreAnsweredAndTheLoopGoesOn) {
    testing::CandidateRoots noModules;  // the batch goes as far as the module search
    testing::CapturedLog log;           // and its log lines are made too
    const std::string batch = R"({"type":"QUILLON_AGENT_SIGN_BATCH","thumbprint":"ab","pin":"1234","items":[{}]})";
    const std::string input = frameOf(batch) + frameOf(R"({"type":"QUILLON_PING"})");
    const std::string batchReply = serve({batch}).at(0);
    const std::string internalFailure = errorReply("erro interno: não foi possível atender o pedido");

    for (bool forGood : {false, true}) {
        std::size_t internalFailures = 0;
        for (long nth = 1;; ++nth) {
            SCOPED_TRACE((forGood ? "from allocation " : "allocation ") + std::to_string(nth));
            MemoryInput in(input);
            MemoryOutput out;
            out.bytes.reserve(4096);  // the stand-in for standard output must not allocate
            bool reached = false;
            {
                testing::FailingAllocations failing(nth, forGood);
                serveRequests(in, out);
                reached = failing.reached();
            }
            if (!reached) break;  // past the last allocation
            auto replies = splitFrames(out.bytes);
            ASSERT_TRUE(replies) << "no reply is ever cut short";
            ASSERT_LE(replies->size(), 2u);
            for (const auto& reply : *replies)
                EXPECT_TRUE(reply == batchReply || reply == kPong || reply.starts_with(R"({"type":"ERROR",)")) << reply;
            if (replies->empty() || (*replies)[0] == batchReply) continue;
            internalFailures += (*replies)[0] == internalFailure;
            if (!forGood) {
                ASSERT_EQ(replies->size(), 2u);
                EXPECT_EQ((*replies)[1], kPong) << "the next request is served";
            }
        }
        EXPECT_GT(internalFailures, 0u);
    }
}

TEST(RequestLoop, FailedWritesDoNotStopTheLoop) {
    MemoryInput in(frameOf(R"({"type":"QUILLON_PING"})") + frameOf("[]") + frameOf(R"({"type":"QUILLON_PING"})"));
    MemoryOutput out;
    out.failing = true;
    serveRequests(in, out);
    EXPECT_EQ(out.writes, 3u) << "one attempted length write per frame, each failing";
}

}  // namespace
}  // namespace quillon
