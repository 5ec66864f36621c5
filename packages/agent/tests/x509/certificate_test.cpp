// The certificate summary: names, tax identifier, times, thumbprint, and the
// parts signing takes from a parsed certificate.
#include <gtest/gtest.h>

#include <openssl/sha.h>
#include <openssl/x509.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cms/der_writer.h"
#include "common/time_text.h"
#include "support/base64_decode.h"
#include "support/signing_test_certs.h"
#include "support/test_certificates.h"
#include "token/certificate_summary.h"
#include "x509/certificate.h"
#include "x509/certificate_fields.h"

namespace quillon {
namespace {

using testing::base64Decode;
using testing::buildCertificate;
using testing::hexBytes;
using testing::NameEntry;
using testing::TestCertRecipe;

// The listing's quick summary and the full parse must agree on every field.
AgentCertInfo summaryOf(const Bytes& der) {
    auto cert = parseCertificate(der);
    auto quick = summarizeCertificate(der);
    EXPECT_TRUE(cert) << (cert ? "" : cert.error().text);
    EXPECT_TRUE(quick) << (quick ? "" : quick.error().text);
    if (!cert || !quick) return {};
    AgentCertInfo full = certInfoOf(*cert);
    auto fields = [](const AgentCertInfo& i) {
        return std::tie(i.Thumbprint, i.CommonName, i.TaxId, i.Issuer, i.NotBefore, i.NotAfter, i.CertDer);
    };
    EXPECT_EQ(fields(*quick), fields(full));
    return full;
}

TEST(TaxId, IsEverythingAfterTheLastColonUnchanged) {
    EXPECT_EQ(extractTaxId("FULANO DE TAL:12345678900"), "12345678900");
    EXPECT_EQ(extractTaxId("A:B:123"), "123");
    EXPECT_EQ(extractTaxId("NOME: 123"), " 123");
    EXPECT_EQ(extractTaxId("NOME:"), "");
    EXPECT_EQ(extractTaxId("NOME SEM CPF"), "");
    EXPECT_EQ(extractTaxId(""), "");
}

TEST(CertificateSummary, TakesSubjectNameTaxIdIssuerCommonNameAndTimes) {
    TestCertRecipe recipe;
    recipe.subject = {{"C", "BR"}, {"O", "ICP-Brasil"}, {"CN", "FULANO DE TAL:12345678900"}};
    recipe.issuer = {{"C", "BR"}, {"O", "Autoridade"}, {"CN", "AC TESTE v5"}, {"OU", "after the CN"}};
    recipe.notBefore = "20260301101112Z";
    recipe.notAfter = "20290301101112Z";
    auto info = summaryOf(buildCertificate(recipe));
    EXPECT_EQ(info.CommonName, "FULANO DE TAL:12345678900");
    EXPECT_EQ(info.TaxId, "12345678900");
    EXPECT_EQ(info.Issuer, "AC TESTE v5");
    EXPECT_EQ(info.NotBefore, "2026-03-01T10:11:12Z");
    EXPECT_EQ(info.NotAfter, "2029-03-01T10:11:12Z");
}

TEST(CertificateSummary, NamesWithoutCommonNameGiveEmptyTexts) {
    TestCertRecipe recipe;
    recipe.subject = {{"C", "BR"}, {"O", "Sem Nome:999"}};
    recipe.issuer = {{"C", "BR"}, {"O", "Org Only"}};
    auto info = summaryOf(buildCertificate(recipe));
    EXPECT_EQ(info.CommonName, "");
    EXPECT_EQ(info.TaxId, "");
    EXPECT_EQ(info.Issuer, "");
}

TEST(CertificateSummary, TheLastCommonNameInEncodingOrderWins) {
    TestCertRecipe twoRdns;
    twoRdns.subject = {{"CN", "FIRST:111"}, {"O", "X"}, {"CN", "SECOND:222"}};
    auto info = summaryOf(buildCertificate(twoRdns));
    EXPECT_EQ(info.CommonName, "SECOND:222");
    EXPECT_EQ(info.TaxId, "222");

    // In a multi-valued RDN the encoded SET order decides, which DER sorting
    // may make differ from the order the entries were added in.
    TestCertRecipe multi;
    multi.subject = {{"O", "X"}, {"CN", "Zeta:1"}, {"CN", "Alpha:22", 0x0C, true}};
    Bytes der = buildCertificate(multi);
    auto lastAt = [&](std::string_view text) {
        auto it = std::find_end(der.begin(), der.end(), text.begin(), text.end());
        return it - der.begin();
    };
    const std::string expected = lastAt("Zeta:1") > lastAt("Alpha:22") ? "Zeta:1" : "Alpha:22";
    EXPECT_EQ(summaryOf(der).CommonName, expected);
}

TEST(CertificateSummary, OlderStringTypesBecomeUtf8) {
    TestCertRecipe recipe;
    // "Joao" with a-tilde, as BMPString (UTF-16BE).
    recipe.subject = {{"CN", std::string("\0J\0o\0\xE3\0o\0:\0" "7", 12), 0x1E}};
    recipe.issuer = {{"CN", "ISSUER CA", 0x13}, {"O", "Org", 0x16}};
    auto info = summaryOf(buildCertificate(recipe));
    EXPECT_EQ(info.CommonName, "Jo\xC3\xA3o:7");
    EXPECT_EQ(info.TaxId, "7");
    EXPECT_EQ(info.Issuer, "ISSUER CA");
}

// A CA certificate is summarised like any other; UTCTime years pivot at 50.
TEST(CertificateSummary, UtcTimeYearsPivotAt50) {
    TestCertRecipe recipe;
    recipe.notBefore = "500101000000Z";
    recipe.notAfter = "491231235959Z";
    recipe.ca = true;
    auto info = summaryOf(buildCertificate(recipe));
    EXPECT_EQ(info.NotBefore, "1950-01-01T00:00:00Z");
    EXPECT_EQ(info.NotAfter, "2049-12-31T23:59:59Z");
}

TEST(CertificateSummary, ThumbprintIsTheSha1OfTheBytesCertDerCarries) {
    for (bool ec : {false, true}) {
        TestCertRecipe recipe;
        recipe.ecKey = ec;
        Bytes der = buildCertificate(recipe);
        auto info = summaryOf(der);
        auto decoded = base64Decode(info.CertDer);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(*decoded, der);
        unsigned char digest[SHA_DIGEST_LENGTH];
        SHA1(der.data(), der.size(), digest);
        EXPECT_EQ(info.Thumbprint, testing::hexText(ByteView(digest, sizeof digest)));  // lower case
    }
    EXPECT_EQ(thumbprintOf(asBytes("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(CertificateParse, RejectsAnythingButExactlyOneCertificate) {
    Bytes der = testing::certificateNamed("X");
    Bytes trailing = der;
    trailing.push_back(0x00);
    Bytes truncated(der.begin(), der.end() - 1);
    Bytes twice = der;
    twice.insert(twice.end(), der.begin(), der.end());
    Bytes inner = der;  // the TBSCertificate's length grown by one: fields no longer fit
    inner[5] = static_cast<std::uint8_t>(inner[5] + 1);
    Bytes text{'n', 'o', 't', ' ', 'a', ' ', 'c', 'e', 'r', 't'};
    for (const Bytes& bad : {trailing, truncated, twice, inner, Bytes{}, Bytes{0x30, 0x00}, text}) {
        EXPECT_FALSE(parseCertificate(bad));
        EXPECT_FALSE(summarizeCertificate(bad));
    }
    EXPECT_EQ(parseCertificate(trailing).error().text, "x509: trailing data");
}

// A certificate split into its elements, to swap one and encode it again.
struct CertificateParts {
    std::vector<Bytes> tbs;  // the TBSCertificate's fields, in order
    Bytes signatureAlgorithm;
    Bytes signature;

    Bytes der() const {
        Bytes tbsContent;
        for (const Bytes& field : tbs) tbsContent.insert(tbsContent.end(), field.begin(), field.end());
        return der::sequence({der::element(der::kTagSequence, tbsContent), signatureAlgorithm, signature});
    }
};

// Header length (tag and length octets) and content length of the element at the front.
std::pair<std::size_t, std::size_t> headerAndLength(ByteView element) {
    std::size_t header = 2, length = element[1];
    if (length & 0x80) {
        header += length & 0x7F;
        length = 0;
        for (std::size_t i = 2; i < header; ++i) length = length << 8 | element[i];
    }
    return {header, length};
}

std::vector<Bytes> elementsOf(ByteView content) {
    std::vector<Bytes> out;
    while (!content.empty()) {
        const auto [header, length] = headerAndLength(content);
        out.emplace_back(content.begin(), content.begin() + static_cast<std::ptrdiff_t>(header + length));
        content = content.subspan(header + length);
    }
    return out;
}

ByteView contentOf(const Bytes& element) {
    const auto [header, length] = headerAndLength(element);
    return ByteView(element).subspan(header, length);
}

CertificateParts partsOf(const Bytes& certificate) {
    auto outer = elementsOf(contentOf(certificate));
    return {elementsOf(contentOf(outer.at(0))), outer.at(1), outer.at(2)};
}

bool opensslTakes(const Bytes& certificate) {
    const unsigned char* p = certificate.data();
    X509* x509 = d2i_X509(nullptr, &p, static_cast<long>(certificate.size()));
    X509_free(x509);
    return x509 != nullptr;
}

// A CA certificate, so that it carries an extension: version, serial,
// algorithm, issuer, validity, subject, key, extensions.
CertificateParts caParts() {
    TestCertRecipe recipe;
    recipe.ca = true;
    return partsOf(buildCertificate(recipe));
}

// Signing parses with OpenSSL: whatever it refuses as malformed must not be
// listed either, or the browser is offered a certificate that cannot sign.
TEST(CertificateParse, ListingRefusesWhatSigningsParserRefuses) {
    std::vector<std::pair<std::string, Bytes>> refused;
    auto swapped = [&](std::string what, std::size_t field, Bytes element) {
        CertificateParts parts = caParts();
        parts.tbs.at(field) = std::move(element);
        refused.emplace_back(std::move(what), parts.der());
    };
    const Bytes sha256WithRsa = hexBytes("06 09 2A 86 48 86 F7 0D 01 01 0B");
    swapped("version not an INTEGER", 0, hexBytes("A0 03 04 01 02"));
    swapped("version followed by more", 0, hexBytes("A0 06 02 01 02 02 01 02"));
    swapped("serial with a needless leading zero", 1, hexBytes("02 02 00 01"));
    swapped("serial with a needless leading FF", 1, hexBytes("02 02 FF 80"));
    swapped("algorithm without identifier", 2, hexBytes("30 00"));
    swapped("algorithm identifier with a leading 0x80", 2, hexBytes("30 04 06 02 80 01"));
    swapped("algorithm identifier unfinished", 2, hexBytes("30 04 06 02 2A 86"));
    swapped("algorithm NULL with content", 2, der::sequence({sha256WithRsa, hexBytes("05 01 00")}));
    swapped("algorithm BOOLEAN of two octets", 2, der::sequence({sha256WithRsa, hexBytes("01 02 FF FF")}));
    swapped("algorithm with two parameters", 2, der::sequence({sha256WithRsa, hexBytes("05 00 05 00")}));
    swapped("issuer attribute type with a leading 0x80", 3, hexBytes("30 0C 31 0A 30 08 06 03 80 04 03 0C 01 41"));
    swapped("issuer attribute value an INTEGER", 3, hexBytes("30 0C 31 0A 30 08 06 03 55 04 03 02 01 41"));
    swapped("subject attribute value a bit string of 8 unused bits", 5,
            hexBytes("30 0D 31 0B 30 09 06 03 55 04 03 03 02 08 00"));
    swapped("key without BIT STRING", 6, der::sequence({der::sequence({hexBytes("06 09 2A 86 48 86 F7 0D 01 01 01"),
                                                                       hexBytes("05 00")})}));
    swapped("key BIT STRING of 8 unused bits", 6, der::sequence({der::sequence({hexBytes("06 09 2A 86 48 86 F7 0D 01 01 01"),
                                                                                hexBytes("05 00")}),
                                                                hexBytes("03 02 08 00")}));
    swapped("extension value not an OCTET STRING", 7, hexBytes("A3 0F 30 0D 30 0B 06 03 55 1D 13 01 01 FF 30 01 00"));
    swapped("extension critical of two octets", 7, hexBytes("A3 12 30 10 30 0E 06 03 55 1D 13 01 02 FF FF 04 03 30 01 00"));
    swapped("extensions not a SEQUENCE", 7, hexBytes("A3 02 05 00"));
    swapped("issuer unique id of 8 unused bits", 7, hexBytes("81 02 08 00"));
    swapped("an INTEGER after the key", 7, hexBytes("02 01 00"));
    {
        CertificateParts parts = caParts();
        parts.signature = hexBytes("03 00");
        refused.emplace_back("empty signature", parts.der());
        parts = caParts();
        parts.signatureAlgorithm = hexBytes("30 00");
        refused.emplace_back("signature algorithm without identifier", parts.der());
    }
    // Names OpenSSL cannot convert to text, or whose string type it does not take in a Name.
    swapped("issuer VisibleString", 3, hexBytes("30 0E 31 0C 30 0A 06 03 55 04 03 1A 03 41 42 43"));
    swapped("issuer UTF8String with an overlong form", 3, hexBytes("30 0D 31 0B 30 09 06 03 55 04 03 0C 02 C0 80"));
    swapped("issuer BMPString of odd length", 3, hexBytes("30 0C 31 0A 30 08 06 03 55 04 03 1E 01 41"));
    swapped("issuer BMPString holding a surrogate pair", 3,
            hexBytes("30 0F 31 0D 30 0B 06 03 55 04 03 1E 04 D8 3D DE 00"));
    swapped("issuer UniversalString above U+10FFFF", 3, hexBytes("30 0F 31 0D 30 0B 06 03 55 04 03 1C 04 00 11 00 00"));
    for (const auto& [what, der] : refused) {
        ASSERT_FALSE(opensslTakes(der)) << what;  // the premise: a certificate OpenSSL refuses
        EXPECT_FALSE(summarizeCertificate(der)) << what;
        EXPECT_FALSE(parseCertificate(der)) << what;
    }
}

TEST(CertificateParse, KeepsTheShapesSigningsParserTakes) {
    std::vector<std::pair<std::string, Bytes>> taken;
    CertificateParts parts = caParts();
    parts.tbs.erase(parts.tbs.begin());
    taken.emplace_back("version 1, no version field", parts.der());
    parts = caParts();
    parts.tbs.insert(parts.tbs.begin() + 7, {hexBytes("81 02 00 AA"), hexBytes("82 02 00 BB")});
    taken.emplace_back("issuer and subject unique ids", parts.der());
    parts = caParts();
    parts.tbs.at(7) = hexBytes("A3 12 30 10 30 0E 06 03 55 1D 0F 01 01 00 04 04 03 02 01 86");
    taken.emplace_back("extension marked not critical", parts.der());
    parts = caParts();
    parts.tbs.at(7) = hexBytes("A3 02 30 00");
    taken.emplace_back("empty extensions", parts.der());
    parts = caParts();
    parts.tbs.at(3) = hexBytes("30 00");
    taken.emplace_back("empty issuer", parts.der());
    TestCertRecipe recipe;
    recipe.issuer = {{"serialNumber", "0123", 0x12},
                     {"O", "T\xE9l\xE9tex", 0x14},
                     {"OU", std::string("\0O\0r\0g", 6), 0x1E},
                     {"CN", std::string("Zero\0Inside", 11), 0x0C}};
    recipe.ecKey = true;
    taken.emplace_back("Numeric, Teletex, BMP and UTF-8 strings, EC key", buildCertificate(recipe));
    for (const auto& [what, der] : taken) {
        ASSERT_TRUE(opensslTakes(der)) << what;
        EXPECT_TRUE(summarizeCertificate(der)) << what;
        EXPECT_TRUE(parseCertificate(der)) << what;
    }
}

TEST(CertificateParse, GivesSigningTheIssuerOctetsSerialAndKeyKind) {
    TestCertRecipe recipe;
    recipe.subject = {{"CN", "Signer"}};
    recipe.issuer = {{"CN", "Mixed CA", 0x16}, {"C", "BR", 0x13}, {"O", std::string("\0O\0r\0g", 6), 0x1E}};
    recipe.serial = 128;
    Bytes der = buildCertificate(recipe);
    auto cert = parseCertificate(der);
    ASSERT_TRUE(cert);
    EXPECT_TRUE(cert->isRsa);
    EXPECT_TRUE(cert->publicKey);
    EXPECT_FALSE(cert->serial.negative);
    EXPECT_EQ(cert->serial.magnitude, Bytes{0x80});
    EXPECT_EQ(cert->der, der);

    // The issuer octets stand in the certificate as they are, and are a whole Name.
    const Bytes& issuer = cert->issuerNameDer;
    ASSERT_FALSE(issuer.empty());
    EXPECT_NE(std::search(der.begin(), der.end(), issuer.begin(), issuer.end()), der.end());
    const unsigned char* p = issuer.data();
    X509_NAME* name = d2i_X509_NAME(nullptr, &p, static_cast<long>(issuer.size()));
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(p, issuer.data() + issuer.size());
    X509_NAME_free(name);
    EXPECT_EQ(cert->issuerCommonName, "Mixed CA");

    recipe.ecKey = true;
    cert = parseCertificate(buildCertificate(recipe));
    ASSERT_TRUE(cert);
    EXPECT_FALSE(cert->isRsa);
}

TEST(CertificateTimes, OffsetsAreTakenToUtcAndFractionsDropped) {
    auto text = [](std::uint8_t tag, std::string_view t) { return derTimeText(tag, asBytes(t)); };
    EXPECT_EQ(text(0x17, "491231235959Z"), "2049-12-31T23:59:59Z");
    EXPECT_EQ(text(0x17, "500101000000Z"), "1950-01-01T00:00:00Z");
    EXPECT_EQ(text(0x17, "2601010130Z"), "2026-01-01T01:30:00Z");  // no seconds
    EXPECT_EQ(text(0x17, "260101013000+0300"), "2025-12-31T22:30:00Z");
    EXPECT_EQ(text(0x18, "20260101013000.999Z"), "2026-01-01T01:30:00Z");
    EXPECT_EQ(text(0x18, "20261231230000-0130"), "2027-01-01T00:30:00Z");
    EXPECT_EQ(text(0x18, "00010101000000Z"), "0001-01-01T00:00:00Z");
    EXPECT_EQ(text(0x18, "99991231235959Z"), "9999-12-31T23:59:59Z");  // "never expires"
    for (std::string_view bad : {"", "2601010130", "261301000000Z", "260230000000Z", "26010100000aZ", "260101000000Z1"})
        EXPECT_FALSE(text(0x17, bad)) << bad;
    EXPECT_FALSE(text(0x04, "260101000000Z"));
}

TEST(TimeText, IsUtcWholeSecondsWithZ) {
    using namespace std::chrono;
    EXPECT_EQ(timeText(system_clock::time_point{}), "1970-01-01T00:00:00Z");
    auto t = sys_days{year{2026} / 12 / 7} + hours{15} + minutes{14} + milliseconds{999};
    EXPECT_EQ(timeText(time_point_cast<system_clock::duration>(t)), "2026-12-07T15:14:00Z");
}

}  // namespace
}  // namespace quillon
