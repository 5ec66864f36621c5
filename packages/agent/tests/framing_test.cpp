#include "framing.h"

#include <gtest/gtest.h>

#include "support/memory_streams.h"

namespace quillon {
namespace {

using testing::frameOf;
using testing::lengthPrefix;
using testing::MemoryInput;
using testing::MemoryOutput;

std::string readError(MemoryInput& in) {
    auto body = readMessage(in);
    EXPECT_FALSE(body.has_value());
    return body ? std::string("<no error>") : body.error().text;
}

TEST(ReadMessage, ReturnsBodiesOfBackToBackFramesThenEof) {
    MemoryInput in(std::string("\x02\x00\x00\x00{}", 6) + std::string(4, '\0') + frameOf("[1]"));
    EXPECT_EQ(readMessage(in).value(), "{}");
    EXPECT_EQ(readMessage(in).value(), "");  // length 0 is a valid empty frame
    EXPECT_EQ(readMessage(in).value(), "[1]");
    EXPECT_EQ(readError(in), "EOF");
}

TEST(ReadMessage, EndOfStreamTextsFollowWhereTheStreamStopped) {
    struct Case {
        std::string input;
        const char* error;
    } cases[] = {
        {"", "EOF"},
        {"\x02", "unexpected EOF"},
        {std::string("\x02\x00", 2), "unexpected EOF"},
        {std::string("\x02\x00\x00", 3), "unexpected EOF"},
        {lengthPrefix(5), "EOF"},
        {lengthPrefix(5) + "abc", "unexpected EOF"},
        {lengthPrefix(5) + "abcd", "unexpected EOF"},
    };
    for (const auto& c : cases) {
        for (std::size_t chunk : {std::size_t{1}, std::size_t{1000}}) {
            MemoryInput in(c.input, chunk);
            EXPECT_EQ(readError(in), c.error) << "input of " << c.input.size() << " bytes, chunk " << chunk;
        }
    }
}

TEST(ReadMessage, ReassemblesFramesDeliveredByteByByte) {
    std::string big(70000, 'x');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    std::string stream = frameOf("{\"type\":\"QUILLON_PING\"}") + frameOf(big);
    for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{4093}}) {
        MemoryInput in(stream, chunk);
        EXPECT_EQ(readMessage(in).value(), "{\"type\":\"QUILLON_PING\"}");
        EXPECT_EQ(readMessage(in).value(), big);
        EXPECT_EQ(readError(in), "EOF");
    }
}

TEST(ReadMessage, ReassemblesLargeBodiesIntoOneExactBuffer) {
    const std::size_t size = (32u << 20) + 7;
    std::string stream = lengthPrefix(static_cast<std::uint32_t>(size));
    stream.resize(4 + size);
    for (std::size_t i = 0; i < size; ++i) stream[4 + i] = static_cast<char>(i % 251);
    stream += frameOf("{}");
    MemoryInput in(std::move(stream), 1 << 20);
    auto body = readMessage(in);
    ASSERT_TRUE(body.has_value());
    ASSERT_EQ(body->size(), size);
    bool same = true;
    for (std::size_t i = 0; i < size && same; ++i) same = (*body)[i] == static_cast<char>(i % 251);
    EXPECT_TRUE(same) << "the body must come back byte for byte";
    EXPECT_EQ(body->capacity(), size) << "no more memory than the announced length";
    EXPECT_EQ(readMessage(in).value(), "{}");
}

TEST(ReadMessage, PassesReadFailuresOnUnchanged) {
    MemoryInput atHeader(std::string("\x05\x00", 2));
    atHeader.failureAtEnd = "read: device error";
    EXPECT_EQ(readError(atHeader), "read: device error");

    MemoryInput inBody(lengthPrefix(5) + "ab");
    inBody.failureAtEnd = "read: device error";
    EXPECT_EQ(readError(inBody), "read: device error");
}

TEST(ReadMessage, RefusesLengthsAboveTheLimitWithoutReadingTheBody) {
    for (std::uint32_t length : {0xFFFFFFFFu, kMaxIncomingBody + 1}) {
        MemoryInput in(lengthPrefix(length) + "{}");
        std::string error = readError(in);
        EXPECT_NE(error.find("exceeds the limit"), std::string::npos) << error;
        EXPECT_EQ(in.largestRequest, 4u) << "the body must not be asked for";
    }
}

TEST(ReadMessage, LargestLengthWithAShortStreamFailsCleanly) {
    // The buffer for the announced length is obtained but never filled; the
    // read ends as any truncated body does.
    MemoryInput in(lengthPrefix(kMaxIncomingBody) + std::string(10, 'x'));
    EXPECT_EQ(readError(in), "unexpected EOF");
}

TEST(WriteFrame, PrefixesTheLittleEndianLengthInItsOwnWrite) {
    MemoryOutput out;
    ASSERT_TRUE(writeFrame(out, std::string(300, 'a')).has_value());
    EXPECT_EQ(out.bytes.substr(0, 4), std::string("\x2C\x01\x00\x00", 4));
    EXPECT_EQ(out.bytes.size(), 304u);
    EXPECT_EQ(out.writes, 2u);

    MemoryOutput empty;
    ASSERT_TRUE(writeFrame(empty, "").has_value());
    EXPECT_EQ(empty.bytes, std::string(4, '\0'));
}

TEST(WriteFrame, StopsAfterAFailedLengthWrite) {
    MemoryOutput out;
    out.failing = true;
    auto written = writeFrame(out, "{}");
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().text, "write: broken pipe");
    EXPECT_EQ(out.writes, 1u);
}

TEST(WriteMessage, PongRoundTripsThroughReadMessage) {
    MemoryOutput out;
    ASSERT_TRUE(writeMessage(out, PongResponse{"QUILLON_PONG", "1.1.2"}).has_value());
    MemoryInput in(out.bytes);
    EXPECT_EQ(readMessage(in).value(), R"({"type":"QUILLON_PONG","version":"1.1.2"})");
}

}  // namespace
}  // namespace quillon
