#include <gtest/gtest.h>

#include <random>

#include "common/base64.h"
#include "common/base64_digest.h"
#include "common/sha256.h"
#include "support/base64_decode.h"

namespace quillon {
namespace {

using testing::base64Decode;

// Piecewise hashing must accept and refuse exactly what the whole-text
// decoder does, name the same byte, and hash the same bytes, wherever the
// pieces happen to be cut (inside a group, a line break or the padding too).
void expectSameAsWholeDecode(const std::string& text) {
    auto whole = base64Decode(text);
    for (std::size_t chunk : {1u, 3u, 4u, 5u, 8u, 12u, 1000u, 1u << 20}) {
        auto digest = sha256OfBase64(text, chunk);
        if (whole) {
            ASSERT_TRUE(digest) << "chunk " << chunk << ": " << digest.error().text;
            EXPECT_EQ(*digest, sha256Of(*whole)) << "chunk " << chunk;
        } else {
            ASSERT_FALSE(digest) << "chunk " << chunk;
            EXPECT_EQ(digest.error().text, whole.error().text) << "chunk " << chunk;
        }
    }
}

TEST(Base64Digest, AgreesWithTheWholeTextDecoder) {
    std::mt19937 rng(7);
    Bytes data(3000);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    const std::string good = base64Encode(data);           // 4000 characters, no padding
    const std::string padded = base64Encode(ByteView(data).first(2999));  // ends in "="

    std::vector<std::string> cases = {"", "\r\n", "YWJj", "YQ==", "YQ==\r\n", "YQ=", "YQ", "Y===", "=", "YWJj====",
                                      "YQ==YWJj", "YQ==\nYWJj", "YWJj\nYQ==\n\n", good, padded};
    // Line breaks anywhere, including across piece boundaries.
    std::string broken = good;
    for (std::size_t i = 3; i < broken.size(); i += 77) broken.insert(i, i % 2 ? "\r\n" : "\n");
    cases.push_back(broken);
    // One bad character at spots before, on and after piece boundaries.
    for (std::size_t at : {0u, 3u, 4u, 7u, 8u, 999u, 1000u, 1001u, 3999u}) {
        std::string bad = good;
        bad[at] = '*';
        cases.push_back(bad);
        std::string pad = good;
        pad[at] = '=';
        cases.push_back(pad);
    }
    cases.push_back(good.substr(0, 3997));  // last group incomplete
    cases.push_back(padded + "A");          // something after the padding
    for (const auto& text : cases) {
        SCOPED_TRACE(text.size() < 40 ? text : "long text of " + std::to_string(text.size()));
        expectSameAsWholeDecode(text);
    }
}

}  // namespace
}  // namespace quillon
