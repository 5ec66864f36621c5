#include "platform/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_folder.h"
#include "wide_text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#endif

namespace quillon {
namespace {

using platform::HiveSplit;
using platform::RegistryCalls;

TEST(SplitHive, SplitsEitherRootAndKeepsTheSubkeyUnchanged) {
    auto user = platform::splitHive("HKEY_CURRENT_USER\\SOFTWARE\\A\\B");
    ASSERT_TRUE(user.has_value());
    EXPECT_EQ(user->root, 0x80000001u);
    EXPECT_EQ(user->subkey, "SOFTWARE\\A\\B");

    auto machine = platform::splitHive("HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B");
    ASSERT_TRUE(machine.has_value());
    EXPECT_EQ(machine->root, 0x80000002u);
    EXPECT_EQ(machine->subkey, "SOFTWARE\\A\\B");

    // No trimming of further separators.
    auto odd = platform::splitHive("HKEY_CURRENT_USER\\\\x\\");
    ASSERT_TRUE(odd.has_value());
    EXPECT_EQ(odd->subkey, "\\x\\");
}

TEST(SplitHive, RefusesBareRootsOtherCaseAndOtherRootsNamingTheWholeKey) {
    for (const char* key : {"HKEY_CURRENT_USER\\", "HKEY_LOCAL_MACHINE\\", "HKEY_CURRENT_USER",
                            "HKEY_CURRENT_USERSOFTWARE", "hkey_current_user\\SOFTWARE",
                            "HKCU\\SOFTWARE", "HKEY_CLASSES_ROOT\\x", "", " HKEY_CURRENT_USER\\x"}) {
        auto split = platform::splitHive(key);
        ASSERT_FALSE(split.has_value()) << key;
        EXPECT_EQ(split.error().text, std::string("hive não reconhecida: ") + key);
    }
}

TEST(SplitHive, AnUnrecognisedKeyFailsEveryOperationWithThatErrorUnwrapped) {
    const std::string expected = "hive não reconhecida: HKCU\\SOFTWARE\\X";
    auto sz = platform::regSetSZ("HKCU\\SOFTWARE\\X", "", "v");
    auto dword = platform::regSetDWORD("HKCU\\SOFTWARE\\X", "", 1);
    auto removed = platform::regDeleteKey("HKCU\\SOFTWARE\\X");
    ASSERT_FALSE(sz || dword || removed);
    EXPECT_EQ(sz.error().text, expected);
    EXPECT_EQ(dword.error().text, expected);
    EXPECT_EQ(removed.error().text, expected);
    EXPECT_EQ(sz.error().cause, nullptr);
}

TEST(RegistryTextSize, CountsUtf16CodeUnitsAndTheClosingNul) {
    EXPECT_EQ(platform::regSzByteSize(utf8ToUtf16("a\u00e3b")), 8u);       // 4 UTF-8 bytes
    EXPECT_EQ(platform::regSzByteSize(utf8ToUtf16("\U0001F600")), 6u);    // a surrogate pair
    EXPECT_EQ(platform::regSzByteSize(utf8ToUtf16("")), 2u);
    EXPECT_EQ(platform::regSzByteSize(utf8ToUtf16("C:\\Users\\Jo\u00e3o")), 2u * 13 + 2);
}

// Records every call and answers with the statuses it was given.
class ScriptedCalls final : public RegistryCalls {
public:
    std::uint32_t createStatus = 0, setStatus = 0, deleteStatus = 0;
    std::vector<std::string> calls;
    std::u16string subkey, name;
    std::uint32_t type = 0, size = 0;
    std::vector<std::uint8_t> data;

    std::uint32_t createKey(platform::RootKey, const char16_t* key, KeyHandle& handle) override {
        calls.push_back("create");
        subkey = key;
        handle = 42;
        return createStatus;
    }
    std::uint32_t setValue(KeyHandle handle, const char16_t* valueName, std::uint32_t valueType,
                           const std::uint8_t* bytes, std::uint32_t byteCount) override {
        calls.push_back(handle == 42 ? "set" : "set on a wrong handle");
        name = valueName;
        type = valueType;
        size = byteCount;
        data.assign(bytes, bytes + byteCount);
        return setStatus;
    }
    void closeKey(KeyHandle handle) override {
        calls.push_back(handle == 42 ? "close" : "close of a wrong handle");
    }
    std::uint32_t deleteKey(platform::RootKey, const char16_t* key) override {
        calls.push_back("delete");
        subkey = key;
        return deleteStatus;
    }
};

const HiveSplit kKey{platform::kHkeyCurrentUser, "SOFTWARE\\Quillon\\T\u00e9ste"};

TEST(RegistryOperations, SetTextPassesUtf16LeWithItsNulAndClosesTheKey) {
    ScriptedCalls calls;
    ASSERT_TRUE(platform::setSzThrough(calls, kKey, "", "\u00e3\U0001F600").has_value());
    EXPECT_EQ(calls.calls, (std::vector<std::string>{"create", "set", "close"}));
    EXPECT_EQ(calls.subkey, u"SOFTWARE\\Quillon\\T\u00e9ste");
    EXPECT_EQ(calls.name, u"");
    EXPECT_EQ(calls.type, 1u);
    EXPECT_EQ(calls.size, 8u);
    EXPECT_EQ(calls.data, (std::vector<std::uint8_t>{0xE3, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0x00, 0x00}));

    ScriptedCalls empty;
    ASSERT_TRUE(platform::setSzThrough(empty, kKey, "Name", "").has_value());
    EXPECT_EQ(empty.size, 2u);
    EXPECT_EQ(empty.data, (std::vector<std::uint8_t>{0, 0}));
}

TEST(RegistryOperations, SetNumberPassesFourLittleEndianBytes) {
    ScriptedCalls calls;
    ASSERT_TRUE(platform::setDwordThrough(calls, kKey, "NoModify", 1).has_value());
    EXPECT_EQ(calls.type, 4u);
    EXPECT_EQ(calls.data, (std::vector<std::uint8_t>{1, 0, 0, 0}));
    ScriptedCalls big;
    ASSERT_TRUE(platform::setDwordThrough(big, kKey, "N", 0x12345678).has_value());
    EXPECT_EQ(big.data, (std::vector<std::uint8_t>{0x78, 0x56, 0x34, 0x12}));
}

TEST(RegistryOperations, FailuresNameTheStepWithTheUnsignedStatusAndCloseWhatWasOpened) {
    ScriptedCalls create;
    create.createStatus = 5;
    auto created = platform::setSzThrough(create, kKey, "", "x");
    ASSERT_FALSE(created.has_value());
    EXPECT_EQ(created.error().text, "RegCreateKeyEx: 5");
    EXPECT_EQ(create.calls, (std::vector<std::string>{"create"}));  // nothing opened, nothing closed

    ScriptedCalls set;
    set.setStatus = 0xFFFFFFFF;
    auto text = platform::setSzThrough(set, kKey, "", "x");
    ASSERT_FALSE(text.has_value());
    EXPECT_EQ(text.error().text, "RegSetValueEx: 4294967295");
    EXPECT_EQ(set.calls, (std::vector<std::string>{"create", "set", "close"}));

    ScriptedCalls number;
    number.setStatus = 5;
    auto dword = platform::setDwordThrough(number, kKey, "", 1);
    ASSERT_FALSE(dword.has_value());
    EXPECT_EQ(dword.error().text, "RegSetValueEx DWORD: 5");
    EXPECT_EQ(number.calls, (std::vector<std::string>{"create", "set", "close"}));

    ScriptedCalls removal;
    removal.deleteStatus = 2;
    auto removed = platform::deleteKeyThrough(removal, kKey);
    ASSERT_FALSE(removed.has_value());
    EXPECT_EQ(removed.error().text, "RegDeleteKey: 2");
    EXPECT_EQ(removal.calls, (std::vector<std::string>{"delete"}));
}

TEST(RegistryOperations, ATextHoldingNulIsRefusedBeforeAnyRegistryCall) {
    const std::string withNul("a\0b", 3);
    ScriptedCalls text, name, key, removal;
    EXPECT_FALSE(platform::setSzThrough(text, kKey, "", withNul).has_value());
    EXPECT_FALSE(platform::setDwordThrough(name, kKey, withNul, 1).has_value());
    const HiveSplit nulKey{platform::kHkeyCurrentUser, withNul};
    EXPECT_FALSE(platform::setSzThrough(key, nulKey, "", "x").has_value());
    EXPECT_FALSE(platform::deleteKeyThrough(removal, nulKey).has_value());
    EXPECT_TRUE(text.calls.empty() && name.calls.empty() && key.calls.empty() &&
                removal.calls.empty());
}

// The real registry of the platform: advapi32 on Windows, the file-backed
// stand-in elsewhere (pointed at a scratch HOME).
struct StoredValue {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

class RealRegistry : public ::testing::Test {
protected:
#ifdef _WIN32
    void SetUp() override {
        base_ = "SOFTWARE\\QuillonAgentTests\\" + std::to_string(GetCurrentProcessId());
    }
    void TearDown() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, reinterpret_cast<const wchar_t*>(utf8ToUtf16(base_).c_str()));
        RegDeleteKeyW(HKEY_CURRENT_USER, L"SOFTWARE\\QuillonAgentTests");  // when no other run uses it
    }
    static std::optional<StoredValue> read(const std::string& subkey, const std::string& name) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, reinterpret_cast<const wchar_t*>(utf8ToUtf16(subkey).c_str()),
                          0, KEY_READ, &key) != ERROR_SUCCESS)
            return std::nullopt;
        StoredValue value;
        DWORD type = 0, size = 0;
        const auto wname = utf8ToUtf16(name);
        const auto* n = reinterpret_cast<const wchar_t*>(wname.c_str());
        LSTATUS status = RegQueryValueExW(key, n, nullptr, &type, nullptr, &size);
        if (status == ERROR_SUCCESS) {
            value.data.resize(size);
            status = RegQueryValueExW(key, n, nullptr, &type, value.data.data(), &size);
        }
        RegCloseKey(key);
        if (status != ERROR_SUCCESS) return std::nullopt;
        value.type = type;
        return value;
    }
    static bool exists(const std::string& subkey) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, reinterpret_cast<const wchar_t*>(utf8ToUtf16(subkey).c_str()),
                          0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }
#else
    void SetUp() override {
        const char* home = std::getenv("HOME");
        if (home) savedHome_ = home;
        std::string host = scratch_.path();
        for (char& c : host)
            if (c == '\\') c = '/';
        homeFile_ = host + "/.quillon-registry.json";
        setenv("HOME", host.c_str(), 1);
        base_ = "SOFTWARE\\QuillonAgentTests";
    }
    void TearDown() override {
        if (savedHome_) setenv("HOME", savedHome_->c_str(), 1);
    }
    nlohmann::json keys() const {
        std::ifstream in(homeFile_);
        std::stringstream text;
        text << in.rdbuf();
        auto doc = nlohmann::json::parse(text.str(), nullptr, false);
        return doc.is_object() ? doc["keys"] : nlohmann::json::object();
    }
    std::optional<StoredValue> read(const std::string& subkey, const std::string& name) const {
        const auto all = keys();
        const auto key = all.find("HKEY_CURRENT_USER\\" + subkey);
        if (key == all.end() || !key->contains(name)) return std::nullopt;
        const auto& stored = (*key)[name];
        StoredValue value;
        value.type = stored["type"];
        const std::string hex = stored["data"];
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
            value.data.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        return value;
    }
    bool exists(const std::string& subkey) const {
        return keys().contains("HKEY_CURRENT_USER\\" + subkey);
    }
    testing::ScratchFolder scratch_{"registry"};
    std::optional<std::string> savedHome_;
    std::string homeFile_;
#endif
    std::string full(const std::string& subkey) const { return "HKEY_CURRENT_USER\\" + under(subkey); }
    std::string under(const std::string& subkey) const { return base_ + "\\" + subkey; }
    std::string base_;
};

TEST_F(RealRegistry, SettingAValueCreatesEveryMissingKeyAndStoresTheExactBytes) {
    ASSERT_TRUE(platform::regSetSZ(full("A\\B\\C"), "", "Jo\u00e3o & \U0001F600").has_value());
    EXPECT_TRUE(exists(under("A")));
    EXPECT_TRUE(exists(under("A\\B")));
    auto value = read(under("A\\B\\C"), "");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, 1u);
    const std::u16string expected = u"Jo\u00e3o & \U0001F600";
    ASSERT_EQ(value->data.size(), 2 * expected.size() + 2);
    EXPECT_EQ(value->data[4], 0xE3);
    EXPECT_EQ(value->data.back(), 0);

    ASSERT_TRUE(platform::regSetDWORD(full("A\\B\\C"), "NoModify", 1).has_value());
    auto number = read(under("A\\B\\C"), "NoModify");
    ASSERT_TRUE(number.has_value());
    EXPECT_EQ(number->type, 4u);
    EXPECT_EQ(number->data, (std::vector<std::uint8_t>{1, 0, 0, 0}));
}

TEST_F(RealRegistry, AValueIsReplacedWhateverItsFormerType) {
    ASSERT_TRUE(platform::regSetDWORD(full("K"), "V", 7).has_value());
    ASSERT_TRUE(platform::regSetSZ(full("K"), "V", "").has_value());
    auto value = read(under("K"), "V");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, 1u);
    EXPECT_EQ(value->data, (std::vector<std::uint8_t>{0, 0}));
}

TEST_F(RealRegistry, DeletesOnlyAKeyWithoutSubkeysAndKeepsItsParents) {
    ASSERT_TRUE(platform::regSetSZ(full("P\\Leaf"), "x", "1").has_value());

    auto missing = platform::regDeleteKey(full("P\\Absent"));
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().text, "RegDeleteKey: 2");

    auto parent = platform::regDeleteKey(full("P"));
    ASSERT_FALSE(parent.has_value());
    EXPECT_EQ(parent.error().text, "RegDeleteKey: 5");
    EXPECT_TRUE(exists(under("P\\Leaf")));

    ASSERT_TRUE(platform::regDeleteKey(full("P\\Leaf")).has_value());
    EXPECT_FALSE(exists(under("P\\Leaf")));
    EXPECT_TRUE(exists(under("P")));
    ASSERT_TRUE(platform::regDeleteKey(full("P")).has_value());
}

}  // namespace
}  // namespace quillon
