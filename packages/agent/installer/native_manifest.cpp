#include "installer/native_manifest.h"

#include "common/json_write.h"
#include "installer/install_layout.h"

// The build may name another extension with -DQUILLON_EXTENSION_ID=<id>.
#ifndef QUILLON_EXTENSION_ID
#define QUILLON_EXTENSION_ID
#endif
#define QUILLON_TEXT_OF(x) #x
#define QUILLON_EXPANDED_TEXT_OF(x) QUILLON_TEXT_OF(x)

namespace quillon {

namespace {

constexpr std::string_view kBuiltExtensionId = QUILLON_EXPANDED_TEXT_OF(QUILLON_EXTENSION_ID);
constexpr std::string_view kDefaultExtensionId = "kembcdlbgbcnnchcnbdhbmbhbejnedjf";
constexpr std::string_view kExtensionId =
    kBuiltExtensionId.empty() ? kDefaultExtensionId : kBuiltExtensionId;

// Chrome derives extension identifiers as 32 letters from 'a' to 'p'.
constexpr bool isExtensionId(std::string_view id) {
    if (id.size() != 32) return false;
    for (const char c : id)
        if (c < 'a' || c > 'p') return false;
    return true;
}
static_assert(isExtensionId(kExtensionId), "QUILLON_EXTENSION_ID must be 32 letters a-p");

void appendMember(std::string& out, std::string_view key, std::string_view value) {
    out += "  ";
    appendJsonString(out, key);
    out += ": ";
    appendJsonString(out, value);
    out += ",\n";
}

}  // namespace

std::string nativeManifestText(std::string_view targetExe) {
    std::string origin = "chrome-extension://";
    origin += kExtensionId;
    origin += '/';

    std::string out = "{\n";
    appendMember(out, "name", kHostName);
    appendMember(out, "description",
                 "Quillon Native Messaging Host \u2014 acesso a certificados A3/token");
    appendMember(out, "path", targetExe);
    appendMember(out, "type", "stdio");
    out += "  ";
    appendJsonString(out, "allowed_origins");
    out += ": [\n    ";
    appendJsonString(out, origin);
    out += "\n  ]\n}";
    return out;
}

}  // namespace quillon
