#include <gtest/gtest.h>

#include "format.h"

namespace quillon {
namespace {

TEST(Format, PlaceholdersOfTheSystemTexts) {
    EXPECT_EQ(sformat("pkcs11: 0x%X: %s", 0xA0u, "CKR_PIN_INCORRECT"), "pkcs11: 0xA0: CKR_PIN_INCORRECT");
    EXPECT_EQ(sformat("  slot %d: %d certificados", 3ul, 2), "  slot 3: 2 certificados");
    EXPECT_EQ(sformat("v%-6s|", "1.1.2"), "v1.1.2 |");
    std::vector<std::string> empty, two{"C:\\a b.dll", "D:\\c.dll"};
    EXPECT_EQ(sformat("%v", empty), "[]");
    EXPECT_EQ(sformat("%v", two), "[C:\\a b.dll D:\\c.dll]");
    Error e = wrapError("SignInit: ", newError("pkcs11: 0x101: CKR_USER_NOT_LOGGED_IN"));
    EXPECT_EQ(sformat("erro: %v", e), "erro: SignInit: pkcs11: 0x101: CKR_USER_NOT_LOGGED_IN");
    EXPECT_EQ(sformat("100%% %d", -5), "100% -5");
}

TEST(Format, WrappingKeepsTheCauseReachable) {
    Error lower = newError("pkcs11: 0x191: CKR_CRYPTOKI_ALREADY_INITIALIZED");
    lower.pkcs11Rv = 0x191;
    Error outer = wrapError("Initialize(C:\\x.dll): ", lower);
    EXPECT_EQ(outer.text, "Initialize(C:\\x.dll): pkcs11: 0x191: CKR_CRYPTOKI_ALREADY_INITIALIZED");
    ASSERT_TRUE(pkcs11RvOf(outer).has_value());
    EXPECT_EQ(*pkcs11RvOf(outer), 0x191u);
    EXPECT_FALSE(pkcs11RvOf(newError("x")).has_value());
}

}  // namespace
}  // namespace quillon
