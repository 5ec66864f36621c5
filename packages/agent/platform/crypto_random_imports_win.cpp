// libcrypto seeds its random generator with CryptGenRandom from advapi32.
// Imported statically, advapi32 (with sechost and ucrtbase behind it) is
// loaded on every start, about a tenth of a ping's start-up under Wine, yet
// only a signature ever needs random bytes. These definitions take the place
// of the import entries libcrypto calls through, so advapi32 is loaded from
// System32 on the first call instead.
#include <windows.h>
#include <wincrypt.h>

namespace {

template <class Fn>
Fn advapi32Procedure(const char* name) {
    static const HMODULE library = LoadLibraryExW(L"advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!library) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

// An import entry's stand-in: finds the procedure in advapi32 on its first
// call and passes every call on; fails as a missing procedure would.
template <class Procedure, const char* Name>
struct OnFirstUse;
template <class... Args, const char* Name>
struct OnFirstUse<BOOL(WINAPI*)(Args...), Name> {
    static BOOL WINAPI call(Args... args) {
        static const auto procedure = advapi32Procedure<BOOL(WINAPI*)(Args...)>(Name);
        if (!procedure) {
            SetLastError(ERROR_PROC_NOT_FOUND);
            return FALSE;
        }
        return procedure(args...);
    }
};

constexpr char kAcquireContext[] = "CryptAcquireContextW";
constexpr char kGenRandom[] = "CryptGenRandom";
constexpr char kReleaseContext[] = "CryptReleaseContext";

}  // namespace

// The import entries themselves: libcrypto's calls go through these pointers.
extern "C" {
decltype(&CryptAcquireContextW) __imp_CryptAcquireContextW =
    OnFirstUse<decltype(&CryptAcquireContextW), kAcquireContext>::call;
decltype(&CryptGenRandom) __imp_CryptGenRandom = OnFirstUse<decltype(&CryptGenRandom), kGenRandom>::call;
decltype(&CryptReleaseContext) __imp_CryptReleaseContext =
    OnFirstUse<decltype(&CryptReleaseContext), kReleaseContext>::call;
}
