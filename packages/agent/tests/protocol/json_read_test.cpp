#include <gtest/gtest.h>

#include <string>

#include "protocol/json_read.h"
#include "protocol/messages.h"

namespace quillon {
namespace {

std::string typeOf(std::string_view body) {
    auto r = decodeBaseMessage(body);
    EXPECT_TRUE(r.has_value()) << body << ": " << (r ? "" : r.error().text);
    return r ? r->Type : "<error>";
}

std::string baseError(std::string_view body) {
    auto r = decodeBaseMessage(body);
    EXPECT_FALSE(r.has_value()) << body;
    return r ? "<ok>" : r.error().text;
}

AgentSignBatchMessage batchOf(std::string_view body) {
    auto r = decodeAgentSignBatchMessage(body);
    EXPECT_TRUE(r.has_value()) << body << ": " << (r ? "" : r.error().text);
    return r ? *r : AgentSignBatchMessage{};
}

// The batch items as "id/data/format", separated by spaces.
std::string itemsOf(std::string_view body) {
    std::string out;
    for (const auto& i : batchOf(body).Items)
        out += (out.empty() ? "" : " ") + i.ID + "/" + std::string(i.Data.view()) + "/" + i.Format;
    return out;
}

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(JsonRead, SyntaxErrorsFailWithTheOffendingCharacterOrTheEnd) {
    for (const char* cut : {"", "  \n", "{", R"({"type":"QUILLON_PING")", R"({"type":"abc)"})
        EXPECT_EQ(baseError(cut), "unexpected end of JSON input") << cut;
    EXPECT_EQ(baseError("\xEF\xBB\xBF{}"), "invalid character 0xEF looking for beginning of value at offset 0");
    EXPECT_EQ(baseError("{} x"), "invalid character 'x' after top-level value at offset 3");
    EXPECT_EQ(baseError("{}{}"), "invalid character '{' after top-level value at offset 2");
    EXPECT_EQ(baseError("{\"type\":\"a\tb\"}"), "invalid character 0x09 in string literal at offset 10");
    EXPECT_EQ(baseError(R"({"type":"\x"})"), "invalid character 'x' in string escape code at offset 10");

    // Each of these is malformed somewhere, in a known field, an unknown one
    // or the structure itself.
    for (const char* body : {
             R"({'type':"a"})", R"({"type" "a"})", R"({"type":"a",})", R"({"type":"a"]})", R"({,})",
             R"({"type":"\u12g4"})", R"({"type":"\u12"})", R"({"type":"a\)", R"({"x":[1,]})",
             R"({"x":[1 2]})", R"({"x":01})", R"({"x":1.})", R"({"x":-})", R"({"x":.5})", R"({"x":1e})",
             R"({"x":+1})", R"({"x":tru})", R"({"x":nulL})", R"({"x":True})", R"({"x":NaN})",
             R"({"x":{"a"}})", R"({"x":{"a":1,}})", R"({"x":{1:2}})", "{\"x\":\"\x1f\"}", "{\x0c}",
             "{\xc2\xa0}", R"({"items":[{"id":"1"},]})", R"({"items":[{"id":1,}]})", "null null", "nul",
         }) {
        EXPECT_FALSE(decodeAgentSignBatchMessage(body).has_value()) << body;
    }
}

TEST(JsonRead, AcceptsEveryWellFormedValueInSkippedKeys) {
    EXPECT_EQ(typeOf(" \t\r\n{ \"x\" : [ 0, -1, 12.5e+3, 1E-2, -0.0, true, false, null, \"\\/\", {}, [],"
                     " {\"a\":{\"b\":[[]]}} ] , \"type\" : \"T\" } \r\n"),
              "T");
    EXPECT_EQ(typeOf("{\"x\":\"\x7f\xff\"}"), "");  // DEL and invalid bytes are no syntax error
}

TEST(JsonRead, NestingIsLimitedTo10000LevelsWithoutExhaustingTheStack) {
    // The top object is level 1; items sit at level 3.
    EXPECT_EQ(typeOf("{\"x\":" + nested(9999) + ",\"type\":\"ok\"}"), "ok");
    EXPECT_EQ(baseError("{\"x\":" + nested(10000) + "}").rfind("nesting deeper than 10000", 0), 0u);
    std::string objects;
    for (int i = 0; i < 10000; ++i) objects += "{\"a\":";
    EXPECT_TRUE(decodeBaseMessage(objects + "1" + std::string(10000, '}')).has_value());
    EXPECT_FALSE(decodeBaseMessage("{\"a\":" + objects + "1" + std::string(10001, '}')).has_value());
    EXPECT_TRUE(decodeAgentSignBatchMessage("{\"items\":[{\"x\":" + nested(9997) + "}]}").has_value());
    EXPECT_FALSE(decodeAgentSignBatchMessage("{\"items\":[{\"x\":" + nested(9998) + "}]}").has_value());
    EXPECT_FALSE(decodeBaseMessage(std::string(1'000'000, '[')).has_value());  // refused at the limit
}

TEST(JsonRead, TopLevelMustBeAnObjectOrNull) {
    EXPECT_EQ(typeOf("null"), "");
    EXPECT_EQ(typeOf("{}"), "");
    EXPECT_EQ(baseError("[]"), "the body is an array, expected an object");
    EXPECT_EQ(baseError("5"), "the body is a number, expected an object");
    EXPECT_EQ(baseError(R"("QUILLON_PING")"), "the body is a string, expected an object");
    EXPECT_EQ(baseError("true"), "the body is a boolean, expected an object");
    // A kind failure is reported only when the rest of the body is sound.
    EXPECT_EQ(baseError("[1,"), "unexpected end of JSON input");
}

TEST(JsonRead, KeysMatchExactlyThenByCaseFolding) {
    EXPECT_EQ(typeOf(R"({"TYPE":"QUILLON_PING"})"), "QUILLON_PING");
    EXPECT_EQ(typeOf(R"({"tYpE":"a"})"), "a");
    EXPECT_EQ(typeOf(R"({"\u0074ype":"escaped"})"), "escaped");
    EXPECT_EQ(typeOf(R"({"type":"QUILLON_PING","Type":"X"})"), "X");
    EXPECT_EQ(typeOf(R"({"Type":"X","type":"Y"})"), "Y");
    for (const char* other : {R"({"typ":"a"})", R"({"types":"a"})", R"({"type ":"a"})", R"({"ty\u0000pe":"a"})",
                              "{\"typ\xc3\xa9\":\"a\"}", R"({"TYPE\ufffd":"a"})"})
        EXPECT_EQ(typeOf(other), "") << other;

    // Long s folds with "s" and the Kelvin sign with "k", nothing else
    // outside ASCII folds onto an ASCII letter.
    EXPECT_EQ(batchOf("{\"item\xc5\xbf\":[null]}").Items.size(), 1u);
    EXPECT_EQ(batchOf(R"({"ITEM\u017F":[null,null]})").Items.size(), 2u);
    for (auto [key, name] : {std::pair{"\xe2\x84\xaa" "ey", "key"}, {"\xe2\x84\xaa" "EY", "Key"}})
        EXPECT_TRUE(jsonKeyFoldsTo(key, name)) << name;
    // Dotted capital I has no simple folding; "[" and "{" are no letters.
    for (auto [key, name] : {std::pair{"\xc5\xbf", "k"}, {"\xe2\x84\xaa", "s"}, {"\xc4\xb0", "i"},
                             {"\xc5\xbf", "s\xc5"}, {"[", "{"}, {"pin", "pinx"}})
        EXPECT_FALSE(jsonKeyFoldsTo(key, name)) << name;
}

TEST(JsonRead, TextFieldsTakeStringsAndIgnoreNull) {
    auto r = decodeAgentSignMessage(
        R"({"type":"S","thumbprint":"ab","data":"AA==","format":"raw","pin":"1","PIN":null,"extra":{"pin":5}})");
    ASSERT_TRUE(r.has_value()) << r.error().text;
    EXPECT_EQ(r->Type + "|" + r->Thumbprint + "|" + std::string(r->Data.view()) + "|" + r->Format + "|" +
                  std::string(r->Pin.view()), "S|ab|AA==|raw|1");
    auto b = batchOf(R"({"type":"B","thumbprint":"t","pin":"p","Thumbprint":null})");
    EXPECT_EQ(b.Type + "|" + b.Thumbprint + "|" + std::string(b.Pin.view()), "B|t|p");
    EXPECT_EQ(typeOf(R"({"type":null})"), "");
}

TEST(JsonRead, DataAndPinStayInTheBodyUnlessTheyHoldEscapes) {
    const std::string body = R"({"type":"QUILLON_AGENT_SIGN","data":"QUJD","pin":"12\u00334",)"
                             R"("items":[{"id":"1","data":"REVG"},{"id":"2","data":"R\/g="}]})";
    auto single = decodeAgentSignMessage(body);
    auto batch = decodeAgentSignBatchMessage(body);
    ASSERT_TRUE(single && batch);
    const std::string_view data = single->Data.view();
    EXPECT_EQ(data, "QUJD");
    EXPECT_EQ(data.data(), body.data() + body.find("QUJD")) << "a plain text is not copied";
    ASSERT_EQ(batch->Items.size(), 2u);
    const std::string_view first = batch->Items[0].Data.view();
    EXPECT_EQ(first.data(), body.data() + body.find("REVG"));
    // Escaped texts are decoded into copies of their own, which moves and
    // copies of the record keep.
    AgentSignMessage copy = *single;
    single = fail("gone");
    EXPECT_EQ(copy.Pin.view(), "1234");
    const std::vector<AgentSignBatchItem> items = std::move(batch->Items);
    EXPECT_EQ(items[1].Data.view(), "R/g=");
}

TEST(JsonRead, KindFailuresNameTheKeyAndComeAfterTheWholeBody) {
    const std::string pinNumber = R"({"type":"QUILLON_AGENT_SIGN","pin":1234})";
    EXPECT_EQ(typeOf(pinNumber), "QUILLON_AGENT_SIGN");
    auto single = decodeAgentSignMessage(pinNumber);
    ASSERT_FALSE(single.has_value());
    EXPECT_EQ(single.error().text, R"(the value of key "pin" is a number, expected a string)");

    EXPECT_EQ(baseError(R"({"type":5})"), R"(the value of key "type" is a number, expected a string)");
    EXPECT_EQ(baseError(R"({"Type":{"a":1},"type":true})"), R"(the value of key "Type" is an object, expected a string)");
    EXPECT_EQ(baseError(R"({"type":[],"x":)"), "unexpected end of JSON input");
    EXPECT_EQ(baseError(R"({"type":false,"x":"\q"})"), "invalid character 'q' in string escape code at offset 20");

    auto items = [](std::string_view body) {
        auto r = decodeAgentSignBatchMessage(body);
        EXPECT_FALSE(r.has_value()) << body;
        return r ? "<ok>" : r.error().text;
    };
    EXPECT_EQ(items(R"({"items":"a"})"), R"(the value of key "items" is a string, expected an array)");
    EXPECT_EQ(items(R"({"items":{}})"), R"(the value of key "items" is an object, expected an array)");
    EXPECT_EQ(items(R"({"ITEMS":[{"id":"a"},{"id":"b"},7]})"), R"(element 2 of key "ITEMS" is a number, expected an object)");
    EXPECT_EQ(items(R"({"items":[[]]})"), R"(element 0 of key "items" is an array, expected an object)");
    EXPECT_EQ(items(R"({"items":[{"data":1}]})"), R"(the value of key "data" is a number, expected a string)");
}

TEST(JsonRead, BatchItemsFollowNullsAndRepeatedKeys) {
    for (const char* none : {R"({"items":[]})", R"({"items":null})", R"({"items":[{"id":"a"}],"items":null})",
                             R"({"items":[{"id":"a"}],"items":[]})"})
        EXPECT_EQ(itemsOf(none), "") << none;
    EXPECT_EQ(itemsOf(R"({"items":[null]})"), "//");
    // A later array is read over the earlier entries: it sets the length, and
    // keys it lacks keep their earlier values.
    EXPECT_EQ(itemsOf(R"({"items":[{"id":"1","data":"d1","format":"f1"},{"id":"2","data":"d2"},{"id":"3"}],)"
                      R"("Items":[{"data":"D1"},null]})"),
              "1/D1/f1 2/d2/");
    EXPECT_EQ(itemsOf(R"({"items":[{"id":"1"}],"items":[{"data":"x"},{"ID":"2","iD":"3"}]})"), "1/x/ 3//");
}

TEST(JsonRead, StringsDecodeEscapesAndReplaceWhatIsNotUnicode) {
    EXPECT_EQ(typeOf(R"({"type":"\"\\\/\b\f\n\r\t\u0041\u00e3\u20AC\u0000"})"),
              std::string("\"\\/\b\f\n\r\tA\xc3\xa3\xe2\x82\xac\0", 15));
    EXPECT_EQ(typeOf(R"({"type":"\ud83d\ude00"})"), "\xf0\x9f\x98\x80");
    EXPECT_EQ(typeOf(R"({"type":"\ud83dx"})"), "\xef\xbf\xbdx");
    EXPECT_EQ(typeOf(R"({"type":"\ude00\ud83d"})"), "\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(typeOf(R"({"type":"\ud83d\u0041"})"), "\xef\xbf\xbd" "A");
    EXPECT_EQ(typeOf(R"({"type":"\ud83d\ud83d\ude00"})"), "\xef\xbf\xbd\xf0\x9f\x98\x80");
    EXPECT_EQ(typeOf(R"({"type":"\ud83d\n"})"), "\xef\xbf\xbd\n");

    const std::string fffd = "\xef\xbf\xbd";
    // Raw bytes: kept when well-formed, one U+FFFD per byte otherwise.
    EXPECT_EQ(typeOf("{\"type\":\"\xc3\xa3\xf0\x9f\x98\x80\x7f\"}"), "\xc3\xa3\xf0\x9f\x98\x80\x7f");
    EXPECT_EQ(typeOf("{\"type\":\"\xc0\x80\"}"), fffd + fffd);          // overlong
    EXPECT_EQ(typeOf("{\"type\":\"\xed\xa0\x80\"}"), fffd + fffd + fffd);  // encoded surrogate
    EXPECT_EQ(typeOf("{\"type\":\"\xf4\x90\x80\x80\"}"), fffd + fffd + fffd + fffd);  // above U+10FFFF
    EXPECT_EQ(typeOf("{\"type\":\"a\xe2\x82\"}"), "a" + fffd + fffd);     // cut short by the quote
    EXPECT_EQ(typeOf("{\"type\":\"\xff" "b\x80\"}"), fffd + "b" + fffd);
}

}  // namespace
}  // namespace quillon
