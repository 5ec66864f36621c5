// Signing on a token: one driver that tries every candidate module and every
// slot with a token present until the per-slot work succeeds in one, and that
// work for a single item and for a batch.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <pkcs11.h>

#include "common/bytes.h"
#include "common/error.h"
#include "common/sha256.h"
#include "protocol/messages.h"
#include "token/pkcs11_module.h"

namespace quillon {

// One request, across modules. The PIN comes before the data.
// Errors: "data base64 inválido: %w", or the not-found text.
// The data travels as its SHA-256 from here on: hashed once per request, not
// once per slot tried, and never held decoded in full.
Result<AgentSignResponse> signWithToken(std::string_view thumbprint, std::string_view pin, std::string_view data,
                                        std::string_view format);
Result<AgentSignBatchResponse> signBatchWithToken(std::string_view thumbprint, std::string_view pin,
                                                  const std::vector<AgentSignBatchItem>& items);

// One slot. `format` is already defaulted by the caller for a single item;
// batch items are decoded and defaulted here, one by one. A single item logs
// the module's error when the session or the login is refused; a batch logs
// nothing here.
Result<AgentSignResponse> signInSlot(const ModuleContext& ctx, CK_SLOT_ID slot, std::string_view thumbprint,
                                     std::string_view pin, const Sha256Digest& dataDigest, std::string_view format);
Result<AgentSignBatchResponse> signBatchInSlot(const ModuleContext& ctx, CK_SLOT_ID slot,
                                               std::string_view thumbprint, std::string_view pin,
                                               const std::vector<AgentSignBatchItem>& items);

}  // namespace quillon
