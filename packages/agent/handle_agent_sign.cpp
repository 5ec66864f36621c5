#include "format.h"
#include "handlers.h"

namespace quillon {

// Placeholders until token signing lands: answered like an unknown type.
void handleAgentSign(std::string_view, platform::OutputStream& out) {
    writeError(out, sformat("tipo não suportado: %s", kTypeAgentSign));
}

void handleAgentSignBatch(std::string_view, platform::OutputStream& out) {
    writeError(out, sformat("tipo não suportado: %s", kTypeAgentSignBatch));
}

}  // namespace quillon
