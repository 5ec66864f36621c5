// Any body through the three request decodings. Besides not crashing, a body
// that decodes must give texts that survive the reply writer and come back
// unchanged through the reader, and the decodings must agree on the type.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/json_write.h"
#include "protocol/messages.h"

namespace {

using namespace quillon;

void check(bool ok) {
    if (!ok) std::abort();
}

// Writes the text as the only field of an object and reads it back.
void checkRoundTrip(std::string_view text) {
    std::string body = "{\"type\":";
    appendJsonString(body, text);
    body += '}';
    auto back = decodeBaseMessage(body);
    check(back.has_value() && back->Type == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    auto base = decodeBaseMessage(body);
    auto single = decodeAgentSignMessage(body);
    auto batch = decodeAgentSignBatchMessage(body);

    // A syntax error fails all three; the type alone decides the first.
    if (single) {
        check(base.has_value() && base->Type == single->Type);
        for (std::string_view t : {std::string_view(single->Type), std::string_view(single->Thumbprint),
                                   single->Data.view(), std::string_view(single->Format), single->Pin.view()})
            checkRoundTrip(t);
    }
    if (batch) {
        check(base.has_value() && base->Type == batch->Type);
        for (const AgentSignBatchItem& item : batch->Items) {
            checkRoundTrip(item.ID);
            checkRoundTrip(item.Data.view());
        }
    }
    if (!base) check(!single && !batch);
    return 0;
}
