#include <gtest/gtest.h>

#include "common/format.h"

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
    Error lower = newError("pkcs11: 0x191: CKR_CRYPTOKI_ALREADY_INITIALIZED", ErrorKind::Pkcs11);
    lower.code = 0x191;
    Error outer = wrapError("Initialize(C:\\x.dll): ", lower);
    EXPECT_EQ(outer.text, "Initialize(C:\\x.dll): pkcs11: 0x191: CKR_CRYPTOKI_ALREADY_INITIALIZED");
    ASSERT_NE(findKind(outer, ErrorKind::Pkcs11), nullptr);
    EXPECT_EQ(findKind(outer, ErrorKind::Pkcs11)->code, 0x191u);
    EXPECT_EQ(findKind(newError("x"), ErrorKind::Pkcs11), nullptr);
}

// A caller tests the kind of a step however many prefixes came after it; a
// wrapper's own kind is met before the one of the error it wraps.
TEST(Format, KindsStayFindableBelowPrefixes) {
    Error module = newError("pkcs11: 0xA0: CKR_PIN_INCORRECT", ErrorKind::Pkcs11);
    module.code = 0xA0;
    Error login = wrapError("PIN incorreto ou token bloqueado: ", module, ErrorKind::LoginRefused);
    Error outer = wrapError("x: ", wrapError("", login));
    EXPECT_EQ(outer.text, "x: PIN incorreto ou token bloqueado: pkcs11: 0xA0: CKR_PIN_INCORRECT");
    EXPECT_EQ(outer.kind, ErrorKind::Other);
    ASSERT_NE(findKind(outer, ErrorKind::LoginRefused), nullptr);
    EXPECT_EQ(findKind(outer, ErrorKind::LoginRefused)->text, login.text);
    EXPECT_EQ(findKind(outer, ErrorKind::Pkcs11)->code, 0xA0u);
    EXPECT_EQ(findKind(outer, ErrorKind::CertNotFound), nullptr);
    EXPECT_EQ(findKind(newError("y", ErrorKind::CertNotFound), ErrorKind::CertNotFound)->text, "y");
}

}  // namespace
}  // namespace quillon
