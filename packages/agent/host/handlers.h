// The request loop and the handlers it dispatches to; each handler writes
// exactly one reply frame for its request.
#pragma once

#include <string_view>

#include "protocol/messages.h"
#include "platform/stdio.h"

namespace quillon {

// Serves frames from `in` until a read fails; runAgent() does this on the
// process's standard streams.
void serveRequests(platform::InputStream& in, platform::OutputStream& out);
void runAgent();

// An "ERROR" reply holding the text; never logged.
void writeError(platform::OutputStream& out, std::string_view text);

// "QUILLON_LIST_CERTS"
void handleListCerts(platform::OutputStream& out);
// "QUILLON_AGENT_SIGN" and "QUILLON_AGENT_SIGN_BATCH": decode `body` again
// into their own records.
void handleAgentSign(std::string_view body, platform::OutputStream& out);
void handleAgentSignBatch(std::string_view body, platform::OutputStream& out);

}  // namespace quillon
