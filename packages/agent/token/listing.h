// Certificate listing over every token of every candidate module. It never
// logs in: what a token shows without a login is what gets listed.
#pragma once

#include <string>
#include <vector>

#include "common/error.h"
#include "protocol/messages.h"
#include "token/pkcs11_module.h"

namespace quillon {

// Every distinct certificate, first occurrence kept. The one error is that
// no candidate module exists.
Result<std::vector<AgentCertInfo>> listCertificates();
// The certificates of all slots of one module, duplicates kept.
Result<std::vector<AgentCertInfo>> listCertsFromLib(const std::string& path);
// The certificates of one slot.
Result<std::vector<AgentCertInfo>> listCertsInSlot(const ModuleContext& ctx, CK_SLOT_ID slot);

// Reads a certificate object's CKA_VALUE and summarises it: "CKA_VALUE vazio"
// when the value cannot be read or is empty, "ParseCertificate: %w" when it
// is not exactly one certificate.
Result<AgentCertInfo> parseCertObject(const ModuleContext& ctx, CK_SESSION_HANDLE session,
                                      CK_OBJECT_HANDLE object);

}  // namespace quillon
