#include <gtest/gtest.h>

#include <string>

#include "common/json_write.h"
#include "protocol/messages.h"

namespace quillon {
namespace {

std::string jsonString(std::string_view text) {
    std::string out;
    appendJsonString(out, text);
    return out;
}

TEST(JsonWrite, RepliesAreCompactWithKeysInFieldOrder) {
    EXPECT_EQ(encodeMessage(PongResponse{"QUILLON_PONG", "1.1.2"}), R"({"type":"QUILLON_PONG","version":"1.1.2"})");
    EXPECT_EQ(encodeMessage(ErrorResponse{"ERROR", "tipo não suportado: "}),
              "{\"type\":\"ERROR\",\"error\":\"tipo n\xc3\xa3o suportado: \"}");
    EXPECT_EQ(encodeMessage(AgentSignResponse{"QUILLON_AGENT_SIGN_RESPONSE", "", "SHA256withRSA", "t", "c"}),
              R"({"type":"QUILLON_AGENT_SIGN_RESPONSE","signature":"","algorithm":"SHA256withRSA","signedAt":"t","certDer":"c"})");
}

TEST(JsonWrite, CertificateListIsAlwaysAnArrayAndKeepsEmptyTexts) {
    EXPECT_EQ(encodeMessage(ListCertsResponse{"QUILLON_LIST_CERTS_RESPONSE", {}}),
              R"({"type":"QUILLON_LIST_CERTS_RESPONSE","certificates":[]})");
    ListCertsResponse two{"QUILLON_LIST_CERTS_RESPONSE",
                          {{"aa", "", "", "", "2020-01-01T00:00:00Z", "2030-01-01T00:00:00Z", "MIIB"},
                           {"bb", "CN", "123", "CA", "n", "a", "X"}}};
    EXPECT_EQ(encodeMessage(two),
              R"({"type":"QUILLON_LIST_CERTS_RESPONSE","certificates":[)"
              R"({"thumbprint":"aa","commonName":"","taxId":"","issuer":"","notBefore":"2020-01-01T00:00:00Z","notAfter":"2030-01-01T00:00:00Z","certDer":"MIIB"},)"
              R"({"thumbprint":"bb","commonName":"CN","taxId":"123","issuer":"CA","notBefore":"n","notAfter":"a","certDer":"X"}]})");
}

TEST(JsonWrite, BatchResultsLeaveOutEmptyTextsButNeverTheId) {
    AgentSignBatchResponse r{"QUILLON_AGENT_SIGN_BATCH_RESPONSE",
                             {{"1", "sig", "SHA256withRSA", "2026-01-01T00:00:00Z", "der", ""},
                              {"2", "", "", "", "", "falhou"},
                              {"", "", "", "", "", ""}}};
    EXPECT_EQ(encodeMessage(r),
              R"({"type":"QUILLON_AGENT_SIGN_BATCH_RESPONSE","results":[)"
              R"({"id":"1","signature":"sig","algorithm":"SHA256withRSA","signedAt":"2026-01-01T00:00:00Z","certDer":"der"},)"
              R"({"id":"2","error":"falhou"},{"id":""}]})");
    EXPECT_EQ(encodeMessage(AgentSignBatchResponse{"T", {}}), R"({"type":"T","results":[]})");
}

TEST(JsonWrite, EscapesWhatIsUnsafeInHtmlOrScriptAndNothingElse) {
    EXPECT_EQ(jsonString("<x>"), R"("\u003cx\u003e")");
    EXPECT_EQ(jsonString("a&b"), R"("a\u0026b")");
    EXPECT_EQ(jsonString("\"\\"), R"("\"\\")");
    EXPECT_EQ(jsonString("\b\f\n\r\t"), R"("\b\f\n\r\t")");
    EXPECT_EQ(jsonString(std::string("\0\x01\x1f\x0b", 4)), R"("\u0000\u0001\u001f\u000b")");
    EXPECT_EQ(jsonString("/\x7f ~"), "\"/\x7f ~\"");
    EXPECT_EQ(jsonString("\xe2\x80\xa8\xe2\x80\xa9\xe2\x80\xaa"), "\"\\u2028\\u2029\xe2\x80\xaa\"");
    EXPECT_EQ(jsonString("\xc3\xa3\xf0\x9f\x98\x80\xef\xbf\xbf"), "\"\xc3\xa3\xf0\x9f\x98\x80\xef\xbf\xbf\"");
}

TEST(JsonWrite, EachByteOutsideWellFormedUtf8BecomesOneReplacementEscape) {
    EXPECT_EQ(jsonString("\xff"), R"("\ufffd")");
    EXPECT_EQ(jsonString("a\xc3"), R"("a\ufffd")");                 // cut short at the end
    EXPECT_EQ(jsonString("\xe2\x82" "b"), R"("\ufffd\ufffdb")");    // cut short before ASCII
    EXPECT_EQ(jsonString("\xc0\xaf"), R"("\ufffd\ufffd")");         // overlong "/"
    EXPECT_EQ(jsonString("\xed\xb0\x80"), R"("\ufffd\ufffd\ufffd")");  // encoded surrogate
    EXPECT_EQ(jsonString("\xf8\x88\x80\x80\x80"), R"("\ufffd\ufffd\ufffd\ufffd\ufffd")");
}

// Whatever the writer produces, the reader gives back the same text when the
// text is well-formed UTF-8.
TEST(JsonWrite, ReaderReadsBackWhatTheWriterWrote) {
    std::string all;
    for (int b = 0; b < 0x80; ++b) all += static_cast<char>(b);
    all += "\xc2\x80\xdf\xbf\xe0\xa0\x80\xe2\x80\xa8\xe2\x80\xa9\xef\xbf\xbd\xf0\x90\x80\x80\xf4\x8f\xbf\xbf";
    auto r = decodeBaseMessage(encodeMessage(ErrorResponse{all, "x"}));
    ASSERT_TRUE(r.has_value()) << r.error().text;
    EXPECT_EQ(r->Type, all);
}

}  // namespace
}  // namespace quillon
