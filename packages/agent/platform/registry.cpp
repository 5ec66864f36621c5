#include "platform/registry.h"

#include <array>
#include <vector>

#include "common/format.h"
#include "common/wide_text.h"

namespace quillon::platform {

namespace {

struct Hive {
    std::string_view prefix;
    RootKey root;
};
constexpr std::array<Hive, 2> kHives{{
    {"HKEY_CURRENT_USER\\", kHkeyCurrentUser},
    {"HKEY_LOCAL_MACHINE\\", kHkeyLocalMachine},
}};

// Closes the key on every way out of a value operation; the status of the
// close is of no interest.
class OpenKey {
public:
    OpenKey(RegistryCalls& calls, RegistryCalls::KeyHandle key) : calls_(calls), key_(key) {}
    ~OpenKey() { calls_.closeKey(key_); }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    RegistryCalls::KeyHandle handle() const { return key_; }

private:
    RegistryCalls& calls_;
    RegistryCalls::KeyHandle key_;
};

// Every text is converted before the first registry call, so a text that
// cannot be passed on leaves the registry untouched.
Status setValueThrough(RegistryCalls& calls, const HiveSplit& key, std::string_view valueName,
                       std::uint32_t type, const std::vector<std::uint8_t>& data,
                       std::string_view failFormat) {
    auto subkey = toWideForWindows(key.subkey);
    if (!subkey) return fail(subkey.error());
    auto name = toWideForWindows(valueName);
    if (!name) return fail(name.error());
    RegistryCalls::KeyHandle handle = 0;
    if (const auto status = calls.createKey(key.root, subkey->c_str(), handle); status != 0)
        return fail(sformat("RegCreateKeyEx: %d", status));
    const OpenKey open(calls, handle);
    const auto status = calls.setValue(open.handle(), name->c_str(), type, data.data(),
                                       static_cast<std::uint32_t>(data.size()));
    if (status != 0) return fail(sformat(failFormat, status));
    return {};
}

// Opens the procedures only for a key that splits.
template <class Op>
Status withSplitKey(std::string_view fullKey, Op op) {
    auto key = splitHive(fullKey);
    if (!key) return fail(key.error());
    auto calls = openRegistryCalls();
    if (!calls) return fail(calls.error());
    return op(**calls, *key);
}

}  // namespace

Result<HiveSplit> splitHive(std::string_view fullKey) {
    for (const Hive& hive : kHives) {
        if (fullKey.size() > hive.prefix.size() && fullKey.starts_with(hive.prefix))
            return HiveSplit{hive.root, std::string(fullKey.substr(hive.prefix.size()))};
    }
    return fail(sformat("hive não reconhecida: %s", fullKey));
}

std::uint32_t regSzByteSize(std::u16string_view text) {
    return static_cast<std::uint32_t>(2 * (text.size() + 1));
}

Status setSzThrough(RegistryCalls& calls, const HiveSplit& key, std::string_view valueName,
                    std::string_view text) {
    auto wide = toWideForWindows(text);
    if (!wide) return fail(wide.error());
    // UTF-16LE and its closing NUL, exactly regSzByteSize bytes.
    std::vector<std::uint8_t> data;
    data.reserve(regSzByteSize(*wide));
    for (const char16_t unit : *wide) {
        data.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        data.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    return setValueThrough(calls, key, valueName, kRegSz, data, "RegSetValueEx: %d");
}

Status setDwordThrough(RegistryCalls& calls, const HiveSplit& key, std::string_view valueName,
                       std::uint32_t value) {
    const std::vector<std::uint8_t> data{
        static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
        static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    return setValueThrough(calls, key, valueName, kRegDword, data, "RegSetValueEx DWORD: %d");
}

Status deleteKeyThrough(RegistryCalls& calls, const HiveSplit& key) {
    auto subkey = toWideForWindows(key.subkey);
    if (!subkey) return fail(subkey.error());
    if (const auto status = calls.deleteKey(key.root, subkey->c_str()); status != 0)
        return fail(sformat("RegDeleteKey: %d", status));
    return {};
}

Status regSetSZ(std::string_view fullKey, std::string_view valueName, std::string_view text) {
    return withSplitKey(fullKey, [&](RegistryCalls& calls, const HiveSplit& key) {
        return setSzThrough(calls, key, valueName, text);
    });
}

Status regSetDWORD(std::string_view fullKey, std::string_view valueName, std::uint32_t value) {
    return withSplitKey(fullKey, [&](RegistryCalls& calls, const HiveSplit& key) {
        return setDwordThrough(calls, key, valueName, value);
    });
}

Status regDeleteKey(std::string_view fullKey) {
    return withSplitKey(fullKey, [](RegistryCalls& calls, const HiveSplit& key) {
        return deleteKeyThrough(calls, key);
    });
}

}  // namespace quillon::platform
