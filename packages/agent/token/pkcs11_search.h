// One complete object search on a session: C_FindObjectsInit with a
// template, C_FindObjects batches, C_FindObjectsFinal.
#pragma once

#include <functional>
#include <span>

#include "token/pkcs11_module.h"

namespace quillon {

// A token hands out each matching object once per search, and real tokens
// hold tens of objects. A batch holding a handle already seen in this search
// therefore means the module is looping, and so does a search that has
// produced this many handles; either ends the search. Neither can cut short
// a search that a module ends with an empty batch.
inline constexpr std::size_t kMaxSearchHandles = 65536;

// What the visitor tells the search after each handle.
enum class SearchStep { Continue, Stop };

// Starts the search; on failure returns C_FindObjectsInit's error unchanged
// and makes no further call. Otherwise asks for batches of at most
// `batchSize` handles and hands every handle, in the module's order, to
// `visit`, until an empty batch, a failing C_FindObjects (not reported), a
// looping module (see above) or the visitor's Stop; then C_FindObjectsFinal
// exactly once, its result ignored.
Status searchObjects(const ModuleContext& ctx, CK_SESSION_HANDLE session,
                     std::span<const TemplateAttribute> templ, CK_ULONG batchSize,
                     const std::function<SearchStep(CK_OBJECT_HANDLE)>& visit);

}  // namespace quillon
