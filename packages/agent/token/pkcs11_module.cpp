#include "token/pkcs11_module.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/format.h"

namespace quillon {

namespace {

// A module may report any length; values the agent reads (certificates,
// identifiers, signatures) are far smaller, so anything beyond this is
// treated as memory that cannot be had rather than allocated.
constexpr CK_ULONG kMaxValueLength = 64UL * 1024 * 1024;
// The signature of a 16,384-bit RSA key, the largest tokens make.
constexpr std::size_t kLargestRsaSignature = 16384 / 8;
constexpr CK_ULONG kMaxSlots = 4096;

struct RvName {
    CK_RV rv;
    std::string_view name;
};

// The return values of PKCS#11 v2.20, plus the two OTP values that followed.
constexpr RvName kRvNames[] = {
    {0x00000000, "CKR_OK"},
    {0x00000001, "CKR_CANCEL"},
    {0x00000002, "CKR_HOST_MEMORY"},
    {0x00000003, "CKR_SLOT_ID_INVALID"},
    {0x00000005, "CKR_GENERAL_ERROR"},
    {0x00000006, "CKR_FUNCTION_FAILED"},
    {0x00000007, "CKR_ARGUMENTS_BAD"},
    {0x00000008, "CKR_NO_EVENT"},
    {0x00000009, "CKR_NEED_TO_CREATE_THREADS"},
    {0x0000000A, "CKR_CANT_LOCK"},
    {0x00000010, "CKR_ATTRIBUTE_READ_ONLY"},
    {0x00000011, "CKR_ATTRIBUTE_SENSITIVE"},
    {0x00000012, "CKR_ATTRIBUTE_TYPE_INVALID"},
    {0x00000013, "CKR_ATTRIBUTE_VALUE_INVALID"},
    {0x00000020, "CKR_DATA_INVALID"},
    {0x00000021, "CKR_DATA_LEN_RANGE"},
    {0x00000030, "CKR_DEVICE_ERROR"},
    {0x00000031, "CKR_DEVICE_MEMORY"},
    {0x00000032, "CKR_DEVICE_REMOVED"},
    {0x00000040, "CKR_ENCRYPTED_DATA_INVALID"},
    {0x00000041, "CKR_ENCRYPTED_DATA_LEN_RANGE"},
    {0x00000050, "CKR_FUNCTION_CANCELED"},
    {0x00000051, "CKR_FUNCTION_NOT_PARALLEL"},
    {0x00000054, "CKR_FUNCTION_NOT_SUPPORTED"},
    {0x00000060, "CKR_KEY_HANDLE_INVALID"},
    {0x00000062, "CKR_KEY_SIZE_RANGE"},
    {0x00000063, "CKR_KEY_TYPE_INCONSISTENT"},
    {0x00000064, "CKR_KEY_NOT_NEEDED"},
    {0x00000065, "CKR_KEY_CHANGED"},
    {0x00000066, "CKR_KEY_NEEDED"},
    {0x00000067, "CKR_KEY_INDIGESTIBLE"},
    {0x00000068, "CKR_KEY_FUNCTION_NOT_PERMITTED"},
    {0x00000069, "CKR_KEY_NOT_WRAPPABLE"},
    {0x0000006A, "CKR_KEY_UNEXTRACTABLE"},
    {0x00000070, "CKR_MECHANISM_INVALID"},
    {0x00000071, "CKR_MECHANISM_PARAM_INVALID"},
    {0x00000082, "CKR_OBJECT_HANDLE_INVALID"},
    {0x00000090, "CKR_OPERATION_ACTIVE"},
    {0x00000091, "CKR_OPERATION_NOT_INITIALIZED"},
    {0x000000A0, "CKR_PIN_INCORRECT"},
    {0x000000A1, "CKR_PIN_INVALID"},
    {0x000000A2, "CKR_PIN_LEN_RANGE"},
    {0x000000A3, "CKR_PIN_EXPIRED"},
    {0x000000A4, "CKR_PIN_LOCKED"},
    {0x000000B0, "CKR_SESSION_CLOSED"},
    {0x000000B1, "CKR_SESSION_COUNT"},
    {0x000000B3, "CKR_SESSION_HANDLE_INVALID"},
    {0x000000B4, "CKR_SESSION_PARALLEL_NOT_SUPPORTED"},
    {0x000000B5, "CKR_SESSION_READ_ONLY"},
    {0x000000B6, "CKR_SESSION_EXISTS"},
    {0x000000B7, "CKR_SESSION_READ_ONLY_EXISTS"},
    {0x000000B8, "CKR_SESSION_READ_WRITE_SO_EXISTS"},
    {0x000000C0, "CKR_SIGNATURE_INVALID"},
    {0x000000C1, "CKR_SIGNATURE_LEN_RANGE"},
    {0x000000D0, "CKR_TEMPLATE_INCOMPLETE"},
    {0x000000D1, "CKR_TEMPLATE_INCONSISTENT"},
    {0x000000E0, "CKR_TOKEN_NOT_PRESENT"},
    {0x000000E1, "CKR_TOKEN_NOT_RECOGNIZED"},
    {0x000000E2, "CKR_TOKEN_WRITE_PROTECTED"},
    {0x000000F0, "CKR_UNWRAPPING_KEY_HANDLE_INVALID"},
    {0x000000F1, "CKR_UNWRAPPING_KEY_SIZE_RANGE"},
    {0x000000F2, "CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT"},
    {0x00000100, "CKR_USER_ALREADY_LOGGED_IN"},
    {0x00000101, "CKR_USER_NOT_LOGGED_IN"},
    {0x00000102, "CKR_USER_PIN_NOT_INITIALIZED"},
    {0x00000103, "CKR_USER_TYPE_INVALID"},
    {0x00000104, "CKR_USER_ANOTHER_ALREADY_LOGGED_IN"},
    {0x00000105, "CKR_USER_TOO_MANY_TYPES"},
    {0x00000110, "CKR_WRAPPED_KEY_INVALID"},
    {0x00000112, "CKR_WRAPPED_KEY_LEN_RANGE"},
    {0x00000113, "CKR_WRAPPING_KEY_HANDLE_INVALID"},
    {0x00000114, "CKR_WRAPPING_KEY_SIZE_RANGE"},
    {0x00000115, "CKR_WRAPPING_KEY_TYPE_INCONSISTENT"},
    {0x00000120, "CKR_RANDOM_SEED_NOT_SUPPORTED"},
    {0x00000121, "CKR_RANDOM_NO_RNG"},
    {0x00000130, "CKR_DOMAIN_PARAMS_INVALID"},
    {0x00000150, "CKR_BUFFER_TOO_SMALL"},
    {0x00000160, "CKR_SAVED_STATE_INVALID"},
    {0x00000170, "CKR_INFORMATION_SENSITIVE"},
    {0x00000180, "CKR_STATE_UNSAVEABLE"},
    {0x00000190, "CKR_CRYPTOKI_NOT_INITIALIZED"},
    {0x00000191, "CKR_CRYPTOKI_ALREADY_INITIALIZED"},
    {0x000001A0, "CKR_MUTEX_BAD"},
    {0x000001A1, "CKR_MUTEX_NOT_LOCKED"},
    {0x000001B0, "CKR_NEW_PIN_MODE"},
    {0x000001B1, "CKR_NEXT_OTP"},
    {0x00000200, "CKR_FUNCTION_REJECTED"},
    {0x80000000, "CKR_VENDOR_DEFINED"},
};

// A function-list entry a module left empty answers as unsupported instead
// of crashing the agent.
template <class Fn, class... A>
CK_RV callModule(Fn fn, A... args) {
    if (!fn) return CKR_FUNCTION_NOT_SUPPORTED;
    return fn(args...);
}

Status check(CK_RV rv) {
    if (rv != CKR_OK) return std::unexpected(pkcs11Error(rv));
    return {};
}

}  // namespace

std::string_view ckrName(CK_RV rv) {
    for (const auto& entry : kRvNames)
        if (entry.rv == rv) return entry.name;
    return {};
}

Error pkcs11Error(CK_RV rv) {
    Error e = newError(sformat("pkcs11: 0x%X: %s", static_cast<std::uint64_t>(rv), ckrName(rv)), ErrorKind::Pkcs11);
    e.code = static_cast<std::uint32_t>(rv);
    return e;
}

TemplateAttribute ulongAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
    TemplateAttribute a{type, Bytes(sizeof(CK_ULONG))};
    std::memcpy(a.value.data(), &value, sizeof value);
    return a;
}

TemplateAttribute bytesAttribute(CK_ATTRIBUTE_TYPE type, ByteView value) {
    return TemplateAttribute{type, Bytes(value.begin(), value.end())};
}

Result<ModuleContext> loadModule(std::string_view path) {
    auto library = platform::loadLibrary(path);
    if (!library) return std::unexpected(library.error());
    auto getFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(platform::findSymbol(*library, "C_GetFunctionList"));
    if (!getFunctionList) return fail("C_GetFunctionList not found");
    CK_FUNCTION_LIST_PTR functions = nullptr;
    CK_RV rv = getFunctionList(&functions);
    if (rv != CKR_OK) return std::unexpected(pkcs11Error(rv));
    if (!functions) return fail("C_GetFunctionList returned no function list");
    return ModuleContext{std::string(path), *library, functions};
}

Status initializeModule(const ModuleContext& ctx) {
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    return check(callModule(ctx.functions->C_Initialize, static_cast<void*>(&args)));
}

void finalizeModule(const ModuleContext& ctx) {
    callModule(ctx.functions->C_Finalize, static_cast<void*>(nullptr));
}

Result<std::vector<CK_SLOT_ID>> getSlotList(const ModuleContext& ctx) {
    CK_ULONG count = 0;
    if (auto s = check(callModule(ctx.functions->C_GetSlotList, CK_BBOOL(CK_TRUE),
                                  static_cast<CK_SLOT_ID_PTR>(nullptr), &count));
        !s)
        return std::unexpected(s.error());
    if (count > kMaxSlots) return std::unexpected(pkcs11Error(CKR_HOST_MEMORY));
    std::vector<CK_SLOT_ID> slots(count);
    if (count == 0) return slots;
    if (auto s = check(callModule(ctx.functions->C_GetSlotList, CK_BBOOL(CK_TRUE), slots.data(), &count));
        !s)
        return std::unexpected(s.error());
    slots.resize(std::min<CK_ULONG>(count, slots.size()));
    return slots;
}

Result<CK_SESSION_HANDLE> openSession(const ModuleContext& ctx, CK_SLOT_ID slot, CK_FLAGS flags) {
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    if (auto s = check(callModule(ctx.functions->C_OpenSession, slot, flags, static_cast<void*>(nullptr),
                                  static_cast<CK_NOTIFY>(nullptr), &session));
        !s)
        return std::unexpected(s.error());
    return session;
}

void closeSession(const ModuleContext& ctx, CK_SESSION_HANDLE session) {
    callModule(ctx.functions->C_CloseSession, session);
}

Status login(const ModuleContext& ctx, CK_SESSION_HANDLE session, std::string_view pin) {
    auto* pinBytes = pin.empty() ? nullptr
                                 : reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.data()));
    return check(callModule(ctx.functions->C_Login, session, CK_USER_TYPE(CKU_USER), pinBytes,
                            static_cast<CK_ULONG>(pin.size())));
}

void logout(const ModuleContext& ctx, CK_SESSION_HANDLE session) {
    callModule(ctx.functions->C_Logout, session);
}

Status findObjectsInit(const ModuleContext& ctx, CK_SESSION_HANDLE session,
                       std::span<const TemplateAttribute> attributes) {
    std::vector<CK_ATTRIBUTE> templ;
    templ.reserve(attributes.size());
    for (const auto& a : attributes)
        templ.push_back(CK_ATTRIBUTE{a.type, const_cast<std::uint8_t*>(a.value.data()),
                                     static_cast<CK_ULONG>(a.value.size())});
    return check(callModule(ctx.functions->C_FindObjectsInit, session, templ.empty() ? nullptr : templ.data(),
                            static_cast<CK_ULONG>(templ.size())));
}

Result<std::vector<CK_OBJECT_HANDLE>> findObjects(const ModuleContext& ctx, CK_SESSION_HANDLE session,
                                                  CK_ULONG maxCount) {
    std::vector<CK_OBJECT_HANDLE> handles(maxCount);
    CK_ULONG count = 0;
    if (auto s = check(callModule(ctx.functions->C_FindObjects, session, handles.data(), maxCount, &count)); !s)
        return std::unexpected(s.error());
    handles.resize(std::min(count, maxCount));
    return handles;
}

void findObjectsFinal(const ModuleContext& ctx, CK_SESSION_HANDLE session) {
    callModule(ctx.functions->C_FindObjectsFinal, session);
}

Result<std::vector<Bytes>> getAttributeValues(const ModuleContext& ctx, CK_SESSION_HANDLE session,
                                              CK_OBJECT_HANDLE object,
                                              std::span<const CK_ATTRIBUTE_TYPE> types) {
    std::vector<CK_ATTRIBUTE> templ;
    templ.reserve(types.size());
    for (CK_ATTRIBUTE_TYPE t : types) templ.push_back(CK_ATTRIBUTE{t, nullptr, 0});
    if (auto s = check(callModule(ctx.functions->C_GetAttributeValue, session, object, templ.data(),
                                  static_cast<CK_ULONG>(templ.size())));
        !s)
        return std::unexpected(s.error());

    std::vector<Bytes> values(types.size());
    for (std::size_t i = 0; i < templ.size(); ++i) {
        CK_ULONG len = templ[i].ulValueLen;
        if (len == CK_UNAVAILABLE_INFORMATION) len = 0;
        if (len > kMaxValueLength) return std::unexpected(pkcs11Error(CKR_HOST_MEMORY));
        values[i].resize(len);
        templ[i].pValue = len ? values[i].data() : nullptr;
        templ[i].ulValueLen = len;
    }
    if (auto s = check(callModule(ctx.functions->C_GetAttributeValue, session, object, templ.data(),
                                  static_cast<CK_ULONG>(templ.size())));
        !s)
        return std::unexpected(s.error());
    for (std::size_t i = 0; i < templ.size(); ++i) {
        CK_ULONG len = templ[i].ulValueLen;
        if (len == CK_UNAVAILABLE_INFORMATION || !templ[i].pValue) len = 0;
        if (len < values[i].size()) values[i].resize(len);
    }
    return values;
}

Status signInit(const ModuleContext& ctx, CK_SESSION_HANDLE session, CK_MECHANISM_TYPE mechanism,
                CK_OBJECT_HANDLE key) {
    CK_MECHANISM m{mechanism, nullptr, 0};
    return check(callModule(ctx.functions->C_SignInit, session, &m, key));
}

namespace {

// Ends a signing operation that is still active on the session: C_SignInit
// without a mechanism, the cancel that PKCS#11 3.0 defines. Its result is
// not looked at.
void cancelSign(const ModuleContext& ctx, CK_SESSION_HANDLE session) {
    callModule(ctx.functions->C_SignInit, session, static_cast<CK_MECHANISM_PTR>(nullptr),
               CK_OBJECT_HANDLE(CK_INVALID_HANDLE));
}

}  // namespace

Result<Bytes> sign(const ModuleContext& ctx, CK_SESSION_HANDLE session, ByteView data, std::size_t signatureLength) {
    auto* in = const_cast<CK_BYTE_PTR>(data.data());
    CK_ULONG inLen = static_cast<CK_ULONG>(data.size());
    CK_ULONG announced = 0;
    // A failed query ends the operation by itself; a successful one leaves it
    // active, so from here on the real call is always made.
    if (auto s = check(callModule(ctx.functions->C_Sign, session, in, inLen, static_cast<CK_BYTE_PTR>(nullptr),
                                  &announced));
        !s)
        return std::unexpected(s.error());
    // The module's answer only ever enlarges the buffer: a module that
    // announces too little may still write the whole signature, and that of
    // its key, which may be larger than the certificate's.
    const std::size_t least = std::max(signatureLength, kLargestRsaSignature);
    std::size_t size = least;
    if (announced > size && announced <= kMaxValueLength) size = announced;
    Bytes signature;
    try {
        signature.resize(size);
    } catch (const std::bad_alloc&) {
        size = least;
        signature.resize(size);
    }
    CK_ULONG len = static_cast<CK_ULONG>(size);
    const CK_RV rv = callModule(ctx.functions->C_Sign, session, in, inLen, signature.data(), &len);
    // Too small for a module that asks more than a signature can be: the
    // operation is still active, and would refuse the next C_SignInit.
    if (rv == CKR_BUFFER_TOO_SMALL) cancelSign(ctx, session);
    if (auto s = check(rv); !s) return std::unexpected(s.error());
    if (len < signature.size()) signature.resize(len);
    return signature;
}

}  // namespace quillon
