#include "startup.h"

namespace quillon::platform {

void ensureStandardStreams() {}

}  // namespace quillon::platform
