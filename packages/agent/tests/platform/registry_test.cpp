#include "platform/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "common/wide_text.h"
#include "support/temp_folder.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <nlohmann/json.hpp>
#endif

namespace quillon {
namespace {

using platform::HiveSplit;
using platform::RegistryCalls;
using Bytes = std::vector<std::uint8_t>;
using Calls = std::vector<std::string>;

std::string errorOf(const Status& status) { return status ? "no error" : status.error().text; }

TEST(SplitHive, SplitsEitherRootAsGivenAndRefusesAnythingElseInEveryOperation) {
    const auto user = platform::splitHive("HKEY_CURRENT_USER\\\\x\\");
    const auto machine = platform::splitHive("HKEY_LOCAL_MACHINE\\SOFTWARE\\A");
    ASSERT_TRUE(user && machine);
    EXPECT_EQ(user->root, 0x80000001u);
    EXPECT_EQ(user->subkey, "\\x\\");  // no trimming
    EXPECT_EQ(machine->root, 0x80000002u);
    EXPECT_EQ(machine->subkey, "SOFTWARE\\A");
    for (const char* key : {"HKEY_CURRENT_USER\\", "HKEY_LOCAL_MACHINE\\", "HKEY_CURRENT_USER",
                            "HKEY_CURRENT_USERSOFTWARE", "hkey_current_user\\SOFTWARE",
                            "HKCU\\SOFTWARE", "HKEY_CLASSES_ROOT\\x", "", " HKEY_CURRENT_USER\\x"}) {
        auto split = platform::splitHive(key);
        ASSERT_FALSE(split.has_value()) << key;
        EXPECT_EQ(split.error().text, std::string("hive não reconhecida: ") + key);
    }
    // Every operation fails with that error, unwrapped.
    const char* key = "HKCU\\SOFTWARE\\X";
    const auto text = platform::regSetSZ(key, "", "v");
    EXPECT_EQ(errorOf(text), std::string("hive não reconhecida: ") + key);
    EXPECT_EQ(errorOf(platform::regSetDWORD(key, "", 1)), errorOf(text));
    EXPECT_EQ(errorOf(platform::regDeleteKey(key)), errorOf(text));
    EXPECT_TRUE(!text && text.error().cause == nullptr);
}

TEST(RegistryTextSize, CountsUtf16CodeUnitsAndTheClosingNul) {
    EXPECT_EQ(platform::regSzByteSize(utf8ToUtf16("a\u00e3b")), 8u);     // 4 UTF-8 bytes
    EXPECT_EQ(platform::regSzByteSize(utf8ToUtf16("\U0001F600")), 6u);  // a surrogate pair
    EXPECT_EQ(platform::regSzByteSize(utf8ToUtf16("")), 2u);
}

// Records every call and answers with the statuses it was given.
class ScriptedCalls final : public RegistryCalls {
public:
    explicit ScriptedCalls(std::uint32_t create = 0, std::uint32_t set = 0, std::uint32_t remove = 0)
        : createStatus(create), setStatus(set), deleteStatus(remove) {}
    const std::uint32_t createStatus, setStatus, deleteStatus;
    Calls calls;
    std::u16string subkey;

    std::uint32_t createKey(platform::RootKey, const char16_t* key, KeyHandle& handle) override {
        calls.push_back("create");
        subkey = key;
        handle = 42;
        return createStatus;
    }
    std::uint32_t setValue(KeyHandle handle, const char16_t*, std::uint32_t, const std::uint8_t*,
                           std::uint32_t) override {
        calls.push_back(handle == 42 ? "set" : "set on a wrong handle");
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

TEST(RegistryOperations, TheKeyIsClosedOnlyWhenOpenedAndFailuresNameTheStepWithTheUnsignedStatus) {
    ScriptedCalls success;
    ASSERT_TRUE(platform::setSzThrough(success, kKey, "", "x").has_value());
    EXPECT_EQ(success.calls, (Calls{"create", "set", "close"}));
    EXPECT_EQ(success.subkey, u"SOFTWARE\\Quillon\\T\u00e9ste");
    ScriptedCalls create(5, 0, 0);
    EXPECT_EQ(errorOf(platform::setSzThrough(create, kKey, "", "x")), "RegCreateKeyEx: 5");
    EXPECT_EQ(create.calls, (Calls{"create"}));  // nothing opened, nothing closed
    ScriptedCalls text(0, 0xFFFFFFFF, 0);
    EXPECT_EQ(errorOf(platform::setSzThrough(text, kKey, "", "x")), "RegSetValueEx: 4294967295");
    EXPECT_EQ(text.calls, (Calls{"create", "set", "close"}));
    ScriptedCalls number(0, 5, 0);
    EXPECT_EQ(errorOf(platform::setDwordThrough(number, kKey, "", 1)), "RegSetValueEx DWORD: 5");
    EXPECT_EQ(number.calls, (Calls{"create", "set", "close"}));
    ScriptedCalls removal(0, 0, 2);
    EXPECT_EQ(errorOf(platform::deleteKeyThrough(removal, kKey)), "RegDeleteKey: 2");
    EXPECT_EQ(removal.calls, (Calls{"delete"}));
}

TEST(RegistryOperations, ATextHoldingNulIsRefusedBeforeAnyRegistryCall) {
    const std::string withNul("a\0b", 3);
    const HiveSplit nulKey{platform::kHkeyCurrentUser, withNul};
    ScriptedCalls text, name, key, removal;
    EXPECT_FALSE(platform::setSzThrough(text, kKey, "", withNul).has_value());
    EXPECT_FALSE(platform::setDwordThrough(name, kKey, withNul, 1).has_value());
    EXPECT_FALSE(platform::setSzThrough(key, nulKey, "", "x").has_value());
    EXPECT_FALSE(platform::deleteKeyThrough(removal, nulKey).has_value());
    EXPECT_TRUE(text.calls.empty() && name.calls.empty() && key.calls.empty() &&
                removal.calls.empty());
}

// The real registry of the platform: advapi32 on Windows, the file-backed
// stand-in elsewhere (pointed at a scratch HOME).
struct StoredValue {
    std::uint32_t type = 0;
    Bytes data;
    bool operator==(const StoredValue&) const = default;
};

class RealRegistry : public ::testing::Test {
protected:
#ifdef _WIN32
    static std::wstring wide(const std::string& text) {
        const auto units = utf8ToUtf16(text);
        return std::wstring(units.begin(), units.end());
    }
    void SetUp() override {
        base_ = "SOFTWARE\\QuillonAgentTests\\" + std::to_string(GetCurrentProcessId());
    }
    void TearDown() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, wide(base_).c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, L"SOFTWARE\\QuillonAgentTests");  // when no other run uses it
    }
    static std::optional<StoredValue> read(const std::string& subkey, const std::string& name) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, wide(subkey).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return std::nullopt;
        StoredValue value{0, Bytes(64)};  // more than any value written here
        DWORD type = 0, size = 64;
        const LSTATUS status =
            RegQueryValueExW(key, wide(name).c_str(), nullptr, &type, value.data.data(), &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS) return std::nullopt;
        value.type = type;
        value.data.resize(size);
        return value;
    }
    static bool exists(const std::string& subkey) {
        HKEY key = nullptr;
        const bool opened =
            RegOpenKeyExW(HKEY_CURRENT_USER, wide(subkey).c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
        if (opened) RegCloseKey(key);
        return opened;
    }
#else
    void SetUp() override {
        if (const char* home = std::getenv("HOME")) savedHome_ = home;
        const std::string host = testing::hostFilesystemPath(scratch_.path()).string();
        homeFile_ = host + "/.quillon-registry.json";
        setenv("HOME", host.c_str(), 1);
        base_ = "SOFTWARE\\QuillonAgentTests";
    }
    void TearDown() override {
        if (savedHome_) setenv("HOME", savedHome_->c_str(), 1);
    }
    nlohmann::json keys() const {
        auto doc = nlohmann::json::parse(testing::fileText(homeFile_), nullptr, false);
        return doc.is_object() ? doc["keys"] : nlohmann::json::object();
    }
    std::optional<StoredValue> read(const std::string& subkey, const std::string& name) const {
        const auto all = keys();
        const auto key = all.find("HKEY_CURRENT_USER\\" + subkey);
        if (key == all.end() || !key->contains(name)) return std::nullopt;
        StoredValue value{(*key)[name]["type"], {}};
        const std::string hex = (*key)[name]["data"];
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

TEST_F(RealRegistry, SettingCreatesEveryMissingKeyAndStoresLittleEndianBytesWhateverTheFormerType) {
    const std::string key = "Jo\u00e3o\\B\\C";
    ASSERT_TRUE(platform::regSetSZ(full(key), "", "\u00e3\U0001F600").has_value());
    EXPECT_TRUE(exists(under("Jo\u00e3o")));
    EXPECT_TRUE(exists(under("Jo\u00e3o\\B")));
    EXPECT_EQ(read(under(key), ""), (StoredValue{1, {0xE3, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0x00, 0x00}}));
    ASSERT_TRUE(platform::regSetDWORD(full(key), "NoModify", 0x12345678).has_value());
    EXPECT_EQ(read(under(key), "NoModify"), (StoredValue{4, {0x78, 0x56, 0x34, 0x12}}));
    ASSERT_TRUE(platform::regSetSZ(full(key), "NoModify", "").has_value());
    EXPECT_EQ(read(under(key), "NoModify"), (StoredValue{1, {0, 0}}));
}

TEST_F(RealRegistry, DeletesOnlyAKeyWithoutSubkeysAndKeepsItsParents) {
    ASSERT_TRUE(platform::regSetSZ(full("P\\Leaf"), "x", "1").has_value());
    EXPECT_EQ(errorOf(platform::regDeleteKey(full("P\\Absent"))), "RegDeleteKey: 2");
    EXPECT_EQ(errorOf(platform::regDeleteKey(full("P"))), "RegDeleteKey: 5");
    EXPECT_TRUE(exists(under("P\\Leaf")));

    ASSERT_TRUE(platform::regDeleteKey(full("P\\Leaf")).has_value());
    EXPECT_FALSE(exists(under("P\\Leaf")));
    EXPECT_TRUE(exists(under("P")));
    ASSERT_TRUE(platform::regDeleteKey(full("P")).has_value());
}

}  // namespace
}  // namespace quillon
