#include <gtest/gtest.h>

#include "common/base64.h"
#include "support/base64_decode.h"

namespace quillon {
namespace {

using testing::base64Decode;

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
    for (auto [plain, encoded] :
         {std::pair{"", ""}, {"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {"\xFB\xFF\xBF", "+/+/"}})
        EXPECT_EQ(base64Encode(asBytes(plain)), encoded);
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
    // Among them: the URL alphabet, missing padding, anything after padding.
    for (auto [text, at] : {std::pair{"YW*j", 2}, {"\n\nYW Jj", 4}, {"YWJj-_", 4}, {"YQ", 2}, {"YWJjY", 5}, {"Y===", 1},
                            {"====", 0}, {"YQ=", 3}, {"YQ==YQ==", 4}, {"YWI=x", 4}, {"YQ=A", 3},
                            // after whole groups, at each place in the group
                            {"YWJj*WJj", 4}, {"YWJjY*Jj", 5}, {"YWJjYW*j", 6}, {"YWJjYWJ*", 7},
                            {"YWJj\r\nY*Jj", 7}, {"YWJjYWJjYQ=A", 11}, {"YWJjYWJj=", 8}, {"YWJjYWJjY\n", 10}})
        EXPECT_EQ(decodeError(text), "illegal base64 data at input byte " + std::to_string(at)) << text;
}

TEST(Base64, RoundTripsEveryByteValue) {
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
    for (std::size_t len = 0; len <= all.size(); len += 37) {
        Bytes part(all.begin(), all.begin() + len);
        EXPECT_EQ(base64Decode(base64Encode(part)).value_or(Bytes{}), part);
    }
}

}  // namespace
}  // namespace quillon
