// The registry as the installer uses it: keys named by their full path
// ("HKEY_CURRENT_USER\..."), one value set or one key deleted per call. Each
// call obtains the registry procedures anew, keeps nothing afterwards, and
// prints or logs nothing: a failure comes back as one error naming the Win32
// step and its status.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/error.h"

namespace quillon::platform {

using RootKey = std::uint32_t;
inline constexpr RootKey kHkeyCurrentUser = 0x80000001;
inline constexpr RootKey kHkeyLocalMachine = 0x80000002;

inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegDword = 4;

struct HiveSplit {
    RootKey root = 0;
    std::string subkey;  // never empty
};

// "HKEY_CURRENT_USER\" or "HKEY_LOCAL_MACHINE\" followed by at least one
// byte, compared byte for byte; anything else fails with
// "hive não reconhecida: <key>".
Result<HiveSplit> splitHive(std::string_view fullKey);

// The size given for a REG_SZ value: the UTF-16 text and its closing NUL.
std::uint32_t regSzByteSize(std::u16string_view text);

// Creates the key and any missing key above it, or opens it, and sets one
// value (an empty name is the key's default value), replacing a value of the
// same name whatever its former type.
Status regSetSZ(std::string_view fullKey, std::string_view valueName, std::string_view text);
Status regSetDWORD(std::string_view fullKey, std::string_view valueName, std::uint32_t value);

// Deletes one key without subkeys; the keys above it stay.
Status regDeleteKey(std::string_view fullKey);

// The four Win32 registry procedures the operations call, each returning its
// Win32 status (0 for success). One instance serves one operation.
class RegistryCalls {
public:
    using KeyHandle = std::uintptr_t;
    virtual ~RegistryCalls() = default;
    virtual std::uint32_t createKey(RootKey root, const char16_t* subkey, KeyHandle& key) = 0;
    virtual std::uint32_t setValue(KeyHandle key, const char16_t* name, std::uint32_t type,
                                   const std::uint8_t* data, std::uint32_t size) = 0;
    virtual void closeKey(KeyHandle key) = 0;
    virtual std::uint32_t deleteKey(RootKey root, const char16_t* subkey) = 0;
};

// Windows: advapi32 loaded from the system folder, procedures looked up when
// first called. Elsewhere there is no registry and this fails.
Result<std::unique_ptr<RegistryCalls>> openRegistryCalls();

// The operations after the key was split and the procedures obtained.
Status setSzThrough(RegistryCalls& calls, const HiveSplit& key, std::string_view valueName,
                    std::string_view text);
Status setDwordThrough(RegistryCalls& calls, const HiveSplit& key, std::string_view valueName,
                       std::uint32_t value);
Status deleteKeyThrough(RegistryCalls& calls, const HiveSplit& key);

}  // namespace quillon::platform
