#include <gtest/gtest.h>

#include "handlers.h"
#include "support/memory_streams.h"

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

TEST(RequestLoop, FailedWritesDoNotStopTheLoop) {
    MemoryInput in(frameOf(R"({"type":"QUILLON_PING"})") + frameOf("[]") + frameOf(R"({"type":"QUILLON_PING"})"));
    MemoryOutput out;
    out.failing = true;
    serveRequests(in, out);
    EXPECT_EQ(out.writes, 3u) << "one attempted length write per frame, each failing";
}

}  // namespace
}  // namespace quillon
