#include <gtest/gtest.h>

#include "base64.h"

namespace quillon {
namespace {

std::string decodedText(std::string_view in) {
    auto r = base64Decode(in);
    EXPECT_TRUE(r.has_value()) << in << ": " << (r ? "" : r.error().text);
    return r ? std::string(asText(*r)) : std::string("<error>");
}

std::string decodeError(std::string_view in) {
    auto r = base64Decode(in);
    EXPECT_FALSE(r.has_value()) << in;
    return r ? std::string("<ok>") : r.error().text;
}

TEST(Base64, EncodesWithPaddingAndNoLineBreaks) {
    EXPECT_EQ(base64Encode(asBytes("")), "");
    EXPECT_EQ(base64Encode(asBytes("a")), "YQ==");
    EXPECT_EQ(base64Encode(asBytes("ab")), "YWI=");
    EXPECT_EQ(base64Encode(asBytes("abc")), "YWJj");
    Bytes high{0xFB, 0xFF, 0xBF};
    EXPECT_EQ(base64Encode(high), "+/+/");
    EXPECT_EQ(base64Encode(Bytes(100, 0)).find('\n'), std::string::npos);
}

TEST(Base64, DecodesStrictlyButSkipsLineBreaks) {
    EXPECT_EQ(decodedText(""), "");
    EXPECT_EQ(decodedText("\r\n"), "");
    EXPECT_EQ(decodedText("YWJj"), "abc");
    EXPECT_EQ(decodedText("YW\r\nJj\n"), "abc");
    EXPECT_EQ(decodedText("YQ=\n="), "a");
    EXPECT_EQ(decodedText("YWI="), "ab");
    EXPECT_EQ(decodedText("YR=="), "a");  // spare bits need not be zero
}

TEST(Base64, NamesThePositionOfTheFault) {
    EXPECT_EQ(decodeError("YW*j"), "illegal base64 data at input byte 2");
    EXPECT_EQ(decodeError("\n\nYW Jj"), "illegal base64 data at input byte 4");
    EXPECT_EQ(decodeError("YWJj-_"), "illegal base64 data at input byte 4");  // URL alphabet refused
    EXPECT_EQ(decodeError("YQ"), "illegal base64 data at input byte 2");      // padding required
    EXPECT_EQ(decodeError("YWJjY"), "illegal base64 data at input byte 5");
    EXPECT_EQ(decodeError("Y==="), "illegal base64 data at input byte 1");
    EXPECT_EQ(decodeError("===="), "illegal base64 data at input byte 0");
    EXPECT_EQ(decodeError("YQ="), "illegal base64 data at input byte 3");
    EXPECT_EQ(decodeError("YQ==YQ=="), "illegal base64 data at input byte 4");  // nothing after padding
    EXPECT_EQ(decodeError("YWI=x"), "illegal base64 data at input byte 4");
    EXPECT_EQ(decodeError("YQ=A"), "illegal base64 data at input byte 3");
}

TEST(Base64, RoundTripsEveryByteValue) {
    Bytes all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
    for (size_t len = 0; len <= all.size(); len += 37) {
        Bytes part(all.begin(), all.begin() + len);
        auto back = base64Decode(base64Encode(part));
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(*back, part);
    }
}

}  // namespace
}  // namespace quillon
