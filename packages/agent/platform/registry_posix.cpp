// There is no registry to register a browser host with here: every call is
// refused, so the installer ends on its fatal path before it writes anything.
#include "registry.h"

namespace quillon::platform {

Result<std::unique_ptr<RegistryCalls>> openRegistryCalls() {
    return fail("registry: not available on this system");
}

}  // namespace quillon::platform
