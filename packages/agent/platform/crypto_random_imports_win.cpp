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

BOOL WINAPI acquireContextOnFirstUse(HCRYPTPROV* provider, LPCWSTR container, LPCWSTR providerName, DWORD type,
                                     DWORD flags) {
    static const auto acquire = advapi32Procedure<decltype(&CryptAcquireContextW)>("CryptAcquireContextW");
    if (!acquire) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return acquire(provider, container, providerName, type, flags);
}

BOOL WINAPI genRandomOnFirstUse(HCRYPTPROV provider, DWORD length, BYTE* buffer) {
    static const auto generate = advapi32Procedure<decltype(&CryptGenRandom)>("CryptGenRandom");
    if (!generate) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return generate(provider, length, buffer);
}

BOOL WINAPI releaseContextOnFirstUse(HCRYPTPROV provider, DWORD flags) {
    static const auto release = advapi32Procedure<decltype(&CryptReleaseContext)>("CryptReleaseContext");
    if (!release) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return release(provider, flags);
}

}  // namespace

// The import entries themselves: libcrypto's calls go through these pointers.
extern "C" {
decltype(&CryptAcquireContextW) __imp_CryptAcquireContextW = acquireContextOnFirstUse;
decltype(&CryptGenRandom) __imp_CryptGenRandom = genRandomOnFirstUse;
decltype(&CryptReleaseContext) __imp_CryptReleaseContext = releaseContextOnFirstUse;
}
