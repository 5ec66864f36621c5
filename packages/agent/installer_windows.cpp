#include "installer.h"

namespace quillon {

// Placeholder until the installer lands: installer mode does nothing yet.
void runInstaller() {}

}  // namespace quillon
