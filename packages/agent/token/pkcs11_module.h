// Calls into a PKCS#11 module through its function list. Every call that
// returns a CK_RV other than CKR_OK becomes an Error with the text
// "pkcs11: 0x%X: %s", of kind Pkcs11 with the value as its code.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <pkcs11.h>

#include "common/bytes.h"
#include "common/error.h"
#include "platform/dynlib.h"

namespace quillon {

// One loaded module on which C_Initialize succeeded; owned by the context cache.
struct ModuleContext {
    std::string path;
    platform::LibraryHandle library = nullptr;
    CK_FUNCTION_LIST_PTR functions = nullptr;
};

// The CKR_ name of a return value; empty for values without one.
std::string_view ckrName(CK_RV rv);
Error pkcs11Error(CK_RV rv);

// One attribute of a search template, its value as the module reads it.
struct TemplateAttribute {
    CK_ATTRIBUTE_TYPE type;
    Bytes value;
};
TemplateAttribute ulongAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG value);
TemplateAttribute bytesAttribute(CK_ATTRIBUTE_TYPE type, ByteView value);

// Loads the library and fetches its function list (no C_Initialize).
Result<ModuleContext> loadModule(std::string_view path);
Status initializeModule(const ModuleContext& ctx);  // CKF_OS_LOCKING_OK, no mutex functions
void finalizeModule(const ModuleContext& ctx);      // result ignored

Result<std::vector<CK_SLOT_ID>> getSlotList(const ModuleContext& ctx);  // tokenPresent TRUE
Result<CK_SESSION_HANDLE> openSession(const ModuleContext& ctx, CK_SLOT_ID slot, CK_FLAGS flags);
void closeSession(const ModuleContext& ctx, CK_SESSION_HANDLE session);  // result ignored
Status login(const ModuleContext& ctx, CK_SESSION_HANDLE session, std::string_view pin);  // CKU_USER
void logout(const ModuleContext& ctx, CK_SESSION_HANDLE session);  // result ignored
Status findObjectsInit(const ModuleContext& ctx, CK_SESSION_HANDLE session,
                       std::span<const TemplateAttribute> attributes);
Result<std::vector<CK_OBJECT_HANDLE>> findObjects(const ModuleContext& ctx, CK_SESSION_HANDLE session,
                                                  CK_ULONG maxCount);
void findObjectsFinal(const ModuleContext& ctx, CK_SESSION_HANDLE session);  // result ignored
// Two-call protocol: lengths, then values. One entry per type, in order;
// a length of 0 or CK_UNAVAILABLE_INFORMATION gives an empty value.
Result<std::vector<Bytes>> getAttributeValues(const ModuleContext& ctx, CK_SESSION_HANDLE session,
                                              CK_OBJECT_HANDLE object,
                                              std::span<const CK_ATTRIBUTE_TYPE> types);
Status signInit(const ModuleContext& ctx, CK_SESSION_HANDLE session, CK_MECHANISM_TYPE mechanism,
                CK_OBJECT_HANDLE key);  // no mechanism parameter
// Length query, then the real call, which is always made once the query
// succeeded, so that the operation ends. The buffer handed over holds at
// least `signatureLength` bytes (what the caller knows a signature to be:
// the certificate's modulus length) and any RSA signature a token makes,
// whatever the query answered, and its true size is what the module is told.
Result<Bytes> sign(const ModuleContext& ctx, CK_SESSION_HANDLE session, ByteView data, std::size_t signatureLength);

}  // namespace quillon
