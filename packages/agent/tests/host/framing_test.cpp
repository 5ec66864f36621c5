#include "host/framing.h"

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

TEST(ReadMessage, ReassemblesBackToBackFramesDeliveredInAnyPieces) {
    std::string big(70000, 'x');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    std::string stream = frameOf("{}") + frameOf("") + frameOf(big);  // length 0 is a valid empty frame
    for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{4093}, std::size_t{1} << 20}) {
        MemoryInput in(stream, chunk);
        EXPECT_EQ(readMessage(in).value().view(), "{}");
        EXPECT_EQ(readMessage(in).value().view(), "");
        EXPECT_EQ(readMessage(in).value().view(), big);
        EXPECT_EQ(readError(in), "EOF");
    }
}

TEST(ReadMessage, BodiesEitherSideOfTheHeapLimitComeBackWhole) {
    for (std::size_t size : {kHeapBodyLimit - 1, kHeapBodyLimit, kHeapBodyLimit + 1}) {
        std::string text(size, '\0');
        for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>(i % 241);
        MemoryInput in(frameOf(text) + frameOf("{}"), 4093);
        auto body = readMessage(in);
        ASSERT_TRUE(body.has_value()) << size;
        EXPECT_EQ(body->view(), text) << size;
        EXPECT_EQ(body->capacity(), size) << size;
        MessageBody moved = std::move(*body);  // and a moved body keeps its bytes
        EXPECT_TRUE(moved.view() == text) << size;
        EXPECT_EQ(readMessage(in).value().view(), "{}");
    }
}

TEST(ReadMessage, ReassemblesLargeBodiesIntoOneExactBuffer) {
    std::string large((32u << 20) + 7, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i % 251);
    MemoryInput in(frameOf(large) + frameOf("{}"), 1 << 20);
    auto body = readMessage(in);
    ASSERT_TRUE(body.has_value());
    EXPECT_TRUE(body->view() == large) << "the body must come back byte for byte";
    EXPECT_EQ(body->capacity(), large.size()) << "no more memory than the announced length";
    EXPECT_EQ(readMessage(in).value().view(), "{}");
}

TEST(ReadMessage, FillsBodiesBeyondTheFirstBufferInPlace) {
    // Longer than what is set aside at once: the rest of the memory comes as
    // the bytes do, and what has arrived is never copied.
    std::string large(kFirstBodyBuffer + 110, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i % 253);
    MemoryInput in(frameOf(large), 1 << 20);
    auto body = readMessage(in);
    ASSERT_TRUE(body.has_value());
    EXPECT_TRUE(body->view() == large) << "the body must come back byte for byte";
    EXPECT_EQ(body->capacity(), large.size()) << "no more memory than the announced length";
    const auto* start = reinterpret_cast<const std::uint8_t*>(body->view().data());
    ASSERT_GE(in.destinations.size(), 3u);
    EXPECT_EQ(in.destinations[1], start) << "the first bytes must be read where the body lies";
    EXPECT_EQ(in.destinations.back(), start + large.size() - 110) << "and so must the last";
}

TEST(ReadMessage, PassesReadFailuresOnUnchanged) {
    for (std::string input : {std::string("\x05\x00", 2), lengthPrefix(5) + "ab"}) {  // in the header, in the body
        MemoryInput in(input);
        in.failureAtEnd = "read: device error";
        EXPECT_EQ(readError(in), "read: device error");
    }
}

TEST(ReadMessage, RefusesLengthsAboveTheLimitWithoutReadingTheBody) {
    for (std::uint32_t length : {0xFFFFFFFFu, kMaxIncomingBody + 1}) {
        MemoryInput in(lengthPrefix(length) + "{}");
        std::string error = readError(in);
        EXPECT_NE(error.find("exceeds the limit"), std::string::npos) << error;
        EXPECT_EQ(in.largestRequest, 4u) << "the body must not be asked for";
    }
    // The largest accepted length with a short stream ends as any truncated body.
    MemoryInput in(lengthPrefix(kMaxIncomingBody) + std::string(10, 'x'));
    EXPECT_EQ(readError(in), "unexpected EOF");
}

TEST(WriteFrame, PrefixesTheLittleEndianLengthInItsOwnWrite) {
    MemoryOutput out;
    ASSERT_TRUE(writeFrame(out, std::string(300, 'a')).has_value());
    EXPECT_EQ(out.bytes, std::string("\x2C\x01\x00\x00", 4) + std::string(300, 'a'));
    EXPECT_EQ(out.writes, 2u);
}

TEST(WriteFrame, StopsAfterAFailedLengthWrite) {
    MemoryOutput out;
    out.failing = true;
    auto written = writeFrame(out, "{}");
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().text, "write: broken pipe");
    EXPECT_EQ(out.writes, 1u);
}

}  // namespace
}  // namespace quillon
