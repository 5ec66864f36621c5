#include <windows.h>

#include "platform/registry.h"

namespace quillon::platform {

namespace {

HKEY predefinedKey(RootKey root) {
    return root == kHkeyLocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

const wchar_t* wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

// advapi32 as loaded for one operation. Each procedure is looked up right
// before its call, so one the operation never reaches is never looked up.
// The library is not released: the system keeps it loaded anyway.
class Advapi32Calls final : public RegistryCalls {
public:
    explicit Advapi32Calls(HMODULE library) : library_(library) {}

    std::uint32_t createKey(RootKey root, const char16_t* subkey, KeyHandle& key) override {
        auto create = procedure<decltype(&RegCreateKeyExW)>("RegCreateKeyExW");
        if (!create) return ERROR_PROC_NOT_FOUND;
        HKEY opened = nullptr;
        const LSTATUS status = create(predefinedKey(root), wide(subkey), 0, nullptr,
                                      REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &opened, nullptr);
        key = reinterpret_cast<KeyHandle>(opened);
        return static_cast<std::uint32_t>(status);
    }

    std::uint32_t setValue(KeyHandle key, const char16_t* name, std::uint32_t type,
                           const std::uint8_t* data, std::uint32_t size) override {
        auto set = procedure<decltype(&RegSetValueExW)>("RegSetValueExW");
        if (!set) return ERROR_PROC_NOT_FOUND;
        return static_cast<std::uint32_t>(
            set(reinterpret_cast<HKEY>(key), wide(name), 0, type, data, size));
    }

    void closeKey(KeyHandle key) override {
        if (auto close = procedure<decltype(&RegCloseKey)>("RegCloseKey"))
            close(reinterpret_cast<HKEY>(key));
    }

    std::uint32_t deleteKey(RootKey root, const char16_t* subkey) override {
        auto remove = procedure<decltype(&RegDeleteKeyW)>("RegDeleteKeyW");
        if (!remove) return ERROR_PROC_NOT_FOUND;
        return static_cast<std::uint32_t>(remove(predefinedKey(root), wide(subkey)));
    }

private:
    template <class Fn>
    Fn procedure(const char* name) {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library_, name)));
    }

    HMODULE library_;
};

}  // namespace

Result<std::unique_ptr<RegistryCalls>> openRegistryCalls() {
    HMODULE library = LoadLibraryExW(L"advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!library) return fail("LoadLibraryEx advapi32.dll: " + std::to_string(GetLastError()));
    return std::make_unique<Advapi32Calls>(library);
}

}  // namespace quillon::platform
