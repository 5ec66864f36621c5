#include "common/wide_text.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

TEST(WideText, ConvertsBothWaysIncludingCharactersBeyondTheBasicPlane) {
    const std::string text = "C:\\Jo\u00e3o \u2192 \U0001F600";
    const std::u16string wide = utf8ToUtf16(text);
    EXPECT_EQ(wide, u"C:\\Jo\u00e3o \u2192 \U0001F600");
    EXPECT_EQ(utf16ToUtf8(wide), text);
}

TEST(WideText, IllFormedInputBecomesReplacementCharacters) {
    // A lone continuation byte, a truncated sequence and an encoded surrogate:
    // one U+FFFD per offending byte.
    EXPECT_EQ(utf8ToUtf16("a\x80z"), u"a\uFFFDz");
    EXPECT_EQ(utf8ToUtf16("\xE2\x86"), u"\uFFFD\uFFFD");
    EXPECT_EQ(utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(utf16ToUtf8(std::u16string{u'a', char16_t(0xD800), u'b'}), "a\uFFFDb");
    EXPECT_EQ(utf16ToUtf8(std::u16string{char16_t(0xDC00)}), "\uFFFD");
}

TEST(WideText, ATextForWindowsMayNotHoldNul) {
    EXPECT_FALSE(toWideForWindows(std::string("a\0b", 3)).has_value());
    auto ok = toWideForWindows("");
    ASSERT_TRUE(ok.has_value());
    EXPECT_TRUE(ok->empty());
}

}  // namespace
}  // namespace quillon
