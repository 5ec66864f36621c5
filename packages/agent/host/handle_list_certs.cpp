#include "host/framing.h"
#include "host/handlers.h"
#include "log/log.h"
#include "token/listing.h"

namespace quillon {

// A listing is never answered with ERROR: a failed listing shows only in the
// log, and the browser gets an empty list.
void handleListCerts(platform::OutputStream& out) {
    ListCertsResponse reply{std::string(kTypeListCertsResponse), {}};
    if (auto certs = listCertificates())
        reply.Certificates = std::move(*certs);
    else
        logf("LIST_CERTS erro: %v", certs.error());
    (void)writeMessage(out, reply);
}

}  // namespace quillon
