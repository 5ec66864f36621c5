// There is no command interpreter to hand the delayed removal to here: the
// system folder cannot be named and no command is started.
#include "process.h"

namespace quillon::platform {

Result<std::string> systemFolder() { return fail("system folder: not available on this system"); }

void runDetachedCmd(std::string_view) {}

}  // namespace quillon::platform
