// Throwaway SoftHSM2 tokens for signing tests. A SoftHsmLab is one folder
// holding the SoftHSM configuration, its token store, a private copy of the
// SoftHSM module (a fresh copy loads as a module of its own, so every lab gets
// a C_Initialize of its own) placed at candidate module paths, and the keys and
// certificates made with the openssl command line and imported with
// pkcs11-tool. The lab points SOFTHSM2_CONF, SystemRoot, ProgramFiles and
// ProgramFiles(x86) at itself.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"

namespace quillon::testing {

bool softHsmAvailable();

// Runs a shell command; its exit status (0 = success).
int runShell(const std::string& command);

struct LabCertificate {
    std::string label;
    Bytes der;
    std::string thumbprint;  // lower-case SHA-1 hex
    std::string certPath;    // PEM, for openssl -certfile / -CAfile
};

class SoftHsmLab {
public:
    SoftHsmLab();
    ~SoftHsmLab();
    SoftHsmLab(const SoftHsmLab&) = delete;
    SoftHsmLab& operator=(const SoftHsmLab&) = delete;

    const std::string& dir() const { return dir_; }
    // A new token; the SO PIN is fixed.
    void initToken(std::string_view label, std::string_view pin);
    // keyType "rsa:2048" or "ec"; idHex empty imports without CKA_ID.
    // withKey false imports the certificate alone.
    LabCertificate importPair(std::string_view token, std::string_view pin, std::string_view label,
                              std::string_view keyType, std::string_view idHex, bool withKey = true);
    // Places a copy of the SoftHSM module at a path relative to the lab's
    // SystemRoot (e.g. "System32/eToken.dll"); returns the agent's path text.
    std::string placeModule(std::string_view relativeToSystemRoot);

private:
    std::string dir_;
    std::string module_;
};

}  // namespace quillon::testing
