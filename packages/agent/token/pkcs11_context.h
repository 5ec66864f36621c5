// The module context cache: each module path is loaded and initialised once
// and kept until the process ends, unless it is reset.
#pragma once

#include <string>

#include "common/error.h"
#include "token/pkcs11_module.h"

namespace quillon {

// "falha ao carregar: %s" or "Initialize(%s): %w"; failures are not cached.
Result<const ModuleContext*> getPkcs11Ctx(const std::string& path);
// C_Finalize, forget the context, log "contexto PKCS#11 resetado: %s".
void resetPkcs11Ctx(const std::string& path);

}  // namespace quillon
