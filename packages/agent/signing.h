// Signing on a token: the drivers that try every candidate module and every
// slot with a token present until one signs, and the work inside one slot.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <pkcs11.h>

#include "bytes.h"
#include "error.h"
#include "messages.h"
#include "pkcs11_module.h"
#include "sha256.h"

namespace quillon {

// One request, across modules. The PIN comes before the data.
// Errors: "data base64 inválido: %w", or the not-found text.
Result<AgentSignResponse> signWithToken(std::string_view thumbprint, std::string_view pin, std::string_view data,
                                        std::string_view format);
Result<AgentSignBatchResponse> signBatchWithToken(std::string_view thumbprint, std::string_view pin,
                                                  const std::vector<AgentSignBatchItem>& items);

// One module, across its slots; "thumbprint não encontrado nos slots" when
// no slot signs.
// The data travels as its SHA-256 from here on: hashed once per request, not
// once per slot tried, and never held decoded in full.
Result<AgentSignResponse> signFromLib(const std::string& path, std::string_view thumbprint, std::string_view pin,
                                      const Sha256Digest& dataDigest, std::string_view format);
Result<AgentSignBatchResponse> signBatchFromLib(const std::string& path, std::string_view thumbprint,
                                                std::string_view pin, const std::vector<AgentSignBatchItem>& items);

// One slot. `format` is already defaulted by the caller for a single item;
// batch items are decoded and defaulted here, one by one.
Result<AgentSignResponse> signInSlot(const ModuleContext& ctx, CK_SLOT_ID slot, std::string_view thumbprint,
                                     std::string_view pin, const Sha256Digest& dataDigest, std::string_view format);
Result<AgentSignBatchResponse> signBatchInSlot(const ModuleContext& ctx, CK_SLOT_ID slot,
                                               std::string_view thumbprint, std::string_view pin,
                                               const std::vector<AgentSignBatchItem>& items);

}  // namespace quillon
