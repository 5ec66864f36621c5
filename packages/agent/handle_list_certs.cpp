#include "format.h"
#include "handlers.h"

namespace quillon {

// Placeholder until token listing lands: answered like an unknown type.
void handleListCerts(platform::OutputStream& out) {
    writeError(out, sformat("tipo não suportado: %s", kTypeListCerts));
}

}  // namespace quillon
