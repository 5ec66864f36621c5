#include <gtest/gtest.h>

#include <chrono>

#include "cms/der_writer.h"
#include "common/time_text.h"
#include "support/signing_test_certs.h"

namespace quillon {
namespace {

using testing::hexBytes;
using testing::hexOf;

std::string lengthHex(std::size_t n) {
    Bytes out;
    der::appendLength(out, n);
    return hexOf(out);
}

TEST(Der, LengthsAreDefiniteAndMinimal) {
    EXPECT_EQ(lengthHex(0), "00");
    EXPECT_EQ(lengthHex(127), "7F");
    EXPECT_EQ(lengthHex(128), "8180");
    EXPECT_EQ(lengthHex(255), "81FF");
    EXPECT_EQ(lengthHex(256), "820100");
    EXPECT_EQ(lengthHex(65535), "82FFFF");
    EXPECT_EQ(lengthHex(65536), "83010000");
    EXPECT_EQ(lengthHex(64u << 20), "8404000000");
}

TEST(Der, IntegersTakeTheShortestTwosComplementForm) {
    auto pos = [](std::string_view hex) { return hexOf(der::integer(false, hexBytes(hex))); };
    auto neg = [](std::string_view hex) { return hexOf(der::integer(true, hexBytes(hex))); };
    EXPECT_EQ(pos(""), "020100");
    EXPECT_EQ(neg(""), "020100");  // no negative zero
    EXPECT_EQ(pos("01"), "020101");
    EXPECT_EQ(pos("7F"), "02017F");
    EXPECT_EQ(pos("80"), "02020080");
    EXPECT_EQ(pos("00 00 80"), "02020080");  // leading zero octets of the magnitude don't count
    EXPECT_EQ(neg("01"), "0201FF");
    EXPECT_EQ(neg("80"), "020180");
    EXPECT_EQ(neg("81"), "0202FF7F");
    EXPECT_EQ(neg("0100"), "0202FF00");
    EXPECT_EQ(neg("8000"), "02028000");
    EXPECT_EQ(neg("8001"), "0203FF7FFF");
    EXPECT_EQ(hexOf(der::integer(std::int64_t{1})), "020101");
    EXPECT_EQ(hexOf(der::integer(std::int64_t{-129})), "0202FF7F");
    EXPECT_EQ(hexOf(der::integer(INT64_MIN)), "02088000000000000000");
}

TEST(Der, ObjectIdentifiersUseBase128Arcs) {
    const std::uint32_t sha256[] = {2, 16, 840, 1, 101, 3, 4, 2, 1};
    const std::uint32_t signedData[] = {1, 2, 840, 113549, 1, 7, 2};
    EXPECT_EQ(hexOf(*der::objectIdentifier(sha256)), "0609608648016503040201");
    EXPECT_EQ(hexOf(*der::objectIdentifier(signedData)), "06092A864886F70D010702");
    const std::uint32_t bad1[] = {3, 1}, bad2[] = {1, 40}, bad3[] = {1};
    EXPECT_FALSE(der::objectIdentifier(bad1));
    EXPECT_FALSE(der::objectIdentifier(bad2));
    EXPECT_FALSE(der::objectIdentifier(bad3));
    const std::uint32_t big[] = {2, 999, 4294967295u};
    EXPECT_EQ(hexOf(*der::objectIdentifier(big)), "060788378FFFFFFF7F");
}

std::chrono::sys_seconds at(int y, unsigned mo, unsigned d, int h, int mi, int s) {
    using namespace std::chrono;
    return sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s};
}

std::string timeText(std::chrono::sys_seconds t) {
    auto e = der::time(t);
    if (!e) return "error: " + e.error().text;
    std::string s = hexOf(ByteView(*e).first(2)) + " ";
    s.append(e->begin() + 2, e->end());
    return s;
}

// The switch at 1950/2049 is tested through the signed attributes.
TEST(Der, TimeCoversYearsZeroTo9999) {
    EXPECT_EQ(timeText(at(2026, 12, 7, 15, 14, 0)), "170D 261207151400Z");
    EXPECT_EQ(timeText(at(0, 1, 1, 0, 0, 0)), "180F 00000101000000Z");
    EXPECT_EQ(timeText(at(9999, 12, 31, 23, 59, 59)), "180F 99991231235959Z");
    EXPECT_FALSE(der::time(at(10000, 1, 1, 0, 0, 0)));
    EXPECT_FALSE(der::time(at(-1, 12, 31, 0, 0, 0)));
}

}  // namespace
}  // namespace quillon
