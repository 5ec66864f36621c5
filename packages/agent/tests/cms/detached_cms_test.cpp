#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "cms/detached_cms.h"
#include "common/sha256.h"
#include "support/signing_test_certs.h"

namespace quillon {
namespace {

using testing::hexBytes;
using testing::hexOf;

std::chrono::system_clock::time_point at(int y, unsigned mo, unsigned d, int h, int mi, int s, int ms = 0) {
    using namespace std::chrono;
    return sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s} + milliseconds{ms};
}
Clock fixed(std::chrono::system_clock::time_point t) {
    return [t] { return t; };
}

// The detached SignedData over `data` itself.
Result<Bytes> buildPkcs7Detached(const ParsedCertificate& cert, Signer& signer, ByteView data,
                                 const Clock& clock = systemNow) {
    return buildPkcs7DetachedForDigest(cert, signer, sha256Of(data), clock);
}

// Records what it is asked to sign and answers with a canned signature, or
// with OpenSSL's own signature when given a key.
class FakeSigner : public Signer {
public:
    explicit FakeSigner(Bytes answer = Bytes(256, 0x5A)) : answer_(std::move(answer)) {}
    std::shared_ptr<EVP_PKEY> key;
    std::optional<Error> failure;
    std::vector<Bytes> digests;
    std::vector<HashFunction> hashes;
    bool gotRandom = false;

    std::shared_ptr<EVP_PKEY> Public() const override { return key; }
    Result<Bytes> Sign(RandomSource* rand, ByteView digest, const SignerOpts& opts) override {
        digests.emplace_back(digest.begin(), digest.end());
        hashes.push_back(opts.hash);
        gotRandom = rand != nullptr;
        if (failure) return fail(*failure);
        if (key) return testing::opensslSignDigest(key.get(), digest);
        return answer_;
    }

private:
    Bytes answer_;
};

const char kAbcAttrs[] =
    "31 69"
    "30 18 06 09 2A 86 48 86 F7 0D 01 09 03 31 0B 06 09 2A 86 48 86 F7 0D 01 07 01"
    "30 1C 06 09 2A 86 48 86 F7 0D 01 09 05 31 0F 17 0D 32 36 31 32 30 37 31 35 31 34 30 30 5A"
    "30 2F 06 09 2A 86 48 86 F7 0D 01 09 04 31 22 04 20 BA 78 16 BF 8F 01 CF EA 41 41 40 DE 5D AE 22 23 B0 03 61 "
    "A3 96 17 7A 9C B4 10 FF 61 F2 00 15 AD";

struct CmsFixture : ::testing::Test {
    static void SetUpTestSuite() {
        key = testing::makeRsaKey();
        certDer = testing::makeCertificate(key.get(), {});
    }
    static void TearDownTestSuite() { key.reset(); }
    static inline std::shared_ptr<EVP_PKEY> key;
    static inline Bytes certDer;

    ParsedCertificate cert(const testing::CertOptions& o = {}) {
        return testing::handParsed(o.serialMagnitude == Bytes{0x01} && !o.unusualIssuer && !o.serialNegative
                                       ? certDer
                                       : testing::makeCertificate(key.get(), o),
                                   key, o);
    }
};

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool contains(const Bytes& hay, const Bytes& needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

TEST_F(CmsFixture, SignedAttributesOfAbcMatchTheReferenceOctets) {
    auto digest = sha256Of(asBytes("abc"));
    auto attrs = marshalSignedAttributes(digest, fixed(at(2026, 12, 7, 15, 14, 0, 999)));
    ASSERT_TRUE(attrs);
    EXPECT_EQ(hexOf(*attrs), hexOf(hexBytes(kAbcAttrs)));
    EXPECT_EQ(attrs->size(), 107u);

    FakeSigner signer;
    auto out = buildPkcs7Detached(cert(), signer, asBytes("abc"), fixed(at(2026, 12, 7, 15, 14, 0)));
    ASSERT_TRUE(out) << out.error().text;
    ASSERT_EQ(signer.digests.size(), 1u);  // signed exactly once
    EXPECT_EQ(hexOf(signer.digests[0]), "8CD11F9EB5B7ACB8D8A01C2C762B1F3735B43A55E4B47C145C04EDB9B2DCCC47");
    EXPECT_EQ(signer.hashes[0], HashFunction::SHA256);
    EXPECT_TRUE(signer.gotRandom);
    // Stored with the implicit [0] tag instead of SET, content unchanged.
    Bytes stored = hexBytes(kAbcAttrs);
    stored[0] = 0xA0;
    EXPECT_TRUE(contains(*out, stored));
}

// UTCTime from 1950 to 2049, GeneralizedTime outside; the fraction is dropped,
// not rounded, even before the epoch; contentType first, messageDigest last.
TEST_F(CmsFixture, SigningTimeTypeFollowsTheYearAndTheAttributeOrderHolds) {
    const std::pair<std::chrono::system_clock::time_point, std::string_view> cases[] = {
        {at(2049, 12, 31, 23, 59, 59), "491231235959Z"}, {at(2050, 1, 1, 0, 0, 0), "20500101000000Z"},
        {at(1949, 12, 31, 23, 59, 59), "19491231235959Z"}, {at(1950, 1, 1, 0, 0, 0), "500101000000Z"},
        {at(1969, 12, 31, 23, 59, 59, 700), "691231235959Z"}};
    for (const auto& [t, text] : cases) {
        auto attrs = marshalSignedAttributes(sha256Of({}), fixed(t));
        ASSERT_TRUE(attrs);
        const bool utc = text.size() == 13;
        EXPECT_TRUE(contains(*attrs, hexBytes(utc ? "09 05 31 0F 17 0D" : "09 05 31 11 18 0F") +
                                         Bytes(text.begin(), text.end()))) << text;
        EXPECT_EQ(hexOf(ByteView(*attrs).first(4)), utc ? "31693018" : "316B3018");
        EXPECT_EQ(attrs->size(), utc ? 107u : 109u);
        EXPECT_EQ(hexOf(ByteView(*attrs).last(32)), "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
    }
}

TEST_F(CmsFixture, WholeStructureFollowsTheLayout) {
    FakeSigner signer;  // 256-octet canned signature
    ParsedCertificate c = cert();
    Bytes data(1000, 'Q');
    auto out = buildPkcs7Detached(c, signer, data, fixed(at(2026, 12, 7, 15, 14, 0)));
    ASSERT_TRUE(out);
    // Rebuild the expected octets piece by piece from the fixed table.
    auto attrs = *marshalSignedAttributes(sha256Of(data), fixed(at(2026, 12, 7, 15, 14, 0)));
    attrs[0] = 0xA0;
    auto withLen = [](std::string_view tagHex, const Bytes& content) {
        Bytes out = hexBytes(tagHex);
        std::size_t n = content.size();
        if (n < 128) out.push_back(static_cast<std::uint8_t>(n));
        else if (n < 256) out.insert(out.end(), {0x81, static_cast<std::uint8_t>(n)});
        else out.insert(out.end(), {0x82, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
        out.insert(out.end(), content.begin(), content.end());
        return out;
    };
    Bytes sid = withLen("30", c.issuerNameDer + hexBytes("02 01 01"));
    Bytes signerInfo = withLen("30", hexBytes("02 01 01") + sid + hexBytes("30 0B 06 09 60 86 48 01 65 03 04 02 01") +
                                         attrs + hexBytes("30 0B 06 09 2A 86 48 86 F7 0D 01 01 01") +
                                         hexBytes("04 82 01 00") + Bytes(256, 0x5A));
    Bytes signedData = withLen("30", hexBytes("02 01 01 31 0D 30 0B 06 09 60 86 48 01 65 03 04 02 01"
                                              "30 0B 06 09 2A 86 48 86 F7 0D 01 07 01") +
                                         withLen("A0", c.der) + withLen("31", signerInfo));
    Bytes expected = withLen("30", hexBytes("06 09 2A 86 48 86 F7 0D 01 07 02") + withLen("A0", signedData));
    EXPECT_EQ(hexOf(*out), hexOf(expected));
    EXPECT_FALSE(contains(*out, Bytes(64, 'Q')));  // detached: the data is not carried
}

TEST_F(CmsFixture, SerialsAndIssuersAreCopiedFaithfully) {
    struct Case {
        const char* serial;
        bool negative;
        const char* expected;
    } cases[] = {
        {"01", false, "020101"},
        {"80", false, "02020080"},
        {"F1 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10", false, "021100F102030405060708090A0B0C0D0E0F10"},
        {"81", true, "0202FF7F"},
    };
    for (const auto& k : cases) {
        testing::CertOptions o;
        o.serialMagnitude = hexBytes(k.serial);
        o.serialNegative = k.negative;
        o.unusualIssuer = true;
        ParsedCertificate c = cert(o);
        FakeSigner signer;
        auto out = buildPkcs7Detached(c, signer, asBytes("x"));
        ASSERT_TRUE(out);
        EXPECT_TRUE(contains(*out, c.issuerNameDer + hexBytes(k.expected))) << k.serial;
        EXPECT_TRUE(contains(*out, c.der));
        // The agent's own parser must yield the same octets and value.
        auto parsed = parseCertificate(c.der);
        ASSERT_TRUE(parsed) << parsed.error().text;
        EXPECT_EQ(parsed->issuerNameDer, c.issuerNameDer);
        EXPECT_EQ(parsed->serial.negative, k.negative);
        EXPECT_EQ(parsed->serial.magnitude, c.serial.magnitude);
    }
}

TEST_F(CmsFixture, SignerFailureIsWrappedAndNotRetried) {
    FakeSigner signer;
    signer.failure = wrapError("SignInit: ", newError("pkcs11: 0x101: CKR_USER_NOT_LOGGED_IN"));
    auto out = buildPkcs7Detached(cert(), signer, asBytes("abc"));
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().text, "signer.Sign: SignInit: pkcs11: 0x101: CKR_USER_NOT_LOGGED_IN");
    EXPECT_EQ(signer.digests.size(), 1u);
    ASSERT_TRUE(out.error().cause);
    EXPECT_EQ(out.error().cause->text, "SignInit: pkcs11: 0x101: CKR_USER_NOT_LOGGED_IN");
}

TEST_F(CmsFixture, OpenSslVerifiesWhatWeBuild) {
    FakeSigner signer;
    signer.key = key;
    for (std::string_view content : {std::string_view("abc"), std::string_view(""), std::string_view("\r\n\0x", 4)}) {
        auto out = buildPkcs7Detached(cert(), signer, asBytes(content));
        ASSERT_TRUE(out);
        std::string why;
        EXPECT_TRUE(testing::opensslVerifyDetachedCms(*out, asBytes(content), certDer, &why)) << why;
        EXPECT_FALSE(testing::opensslVerifyDetachedCms(*out, asBytes("abd"), certDer));
    }
}

}  // namespace
}  // namespace quillon
