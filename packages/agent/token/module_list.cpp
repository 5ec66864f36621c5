#include "token/module_list.h"

#include <array>
#include <string_view>

#include "common/paths.h"
#include "platform/fs.h"

namespace quillon {

namespace {

enum class Base { System, ProgramFiles, ProgramFilesX86 };

struct Candidate {
    Base base;
    std::string_view relative;
};

// Where the token makers' installers put their modules. The order is the
// order in which modules are asked for certificates and tried for signing.
constexpr std::array<Candidate, 39> kCandidates{{
    {Base::System, "System32\\eToken.dll"},
    {Base::ProgramFiles, "SafeNet\\Authentication\\SAC\\x64\\eToken.dll"},
    {Base::ProgramFilesX86, "SafeNet\\Authentication\\SAC\\x86\\eToken.dll"},
    {Base::ProgramFiles, "SafeNet\\Authentication\\SAC\\x64\\eTokenPKCS11.dll"},
    {Base::ProgramFiles, "Gemalto\\PKCS11 for eToken 5300\\eTpkcs11.dll"},
    {Base::ProgramFiles, "Gemalto\\IDGo 800 PKCS#11\\IDPrimePKCS11.dll"},
    {Base::ProgramFiles, "Thales\\SafeNet Authentication Client\\x64\\eToken.dll"},
    {Base::System, "System32\\pronovapkcs11.dll"},
    {Base::ProgramFiles, "Pronova\\PKCS11\\pronovapkcs11.dll"},
    {Base::System, "System32\\WD-ePass2003Auto.dll"},
    {Base::System, "System32\\WD-ePass3003Auto.dll"},
    {Base::System, "SysWOW64\\WD-ePass2003Auto.dll"},
    {Base::System, "SysWOW64\\WD-ePass3003Auto.dll"},
    {Base::System, "System32\\ePass2003.dll"},
    {Base::System, "System32\\ePass2003Auto.dll"},
    {Base::ProgramFiles, "Feitian Technologies\\ePass2003\\ePass2003.dll"},
    {Base::ProgramFilesX86, "Feitian Technologies\\ePass2003\\ePass2003.dll"},
    {Base::System, "System32\\OCSPkcs11.dll"},
    {Base::ProgramFiles, "Oberthur Technologies\\AWP\\DLLs\\OCSPkcs11.dll"},
    {Base::ProgramFiles, "HID Global\\ActivClient\\acpkcs211.dll"},
    {Base::ProgramFilesX86, "HID Global\\ActivClient\\acpkcs211.dll"},
    {Base::ProgramFiles, "ActivIdentity\\ActivClient\\acpkcs211.dll"},
    {Base::System, "System32\\IDPrimePKCS11.dll"},
    {Base::ProgramFiles, "Gemalto\\IDPrime\\IDPrimePKCS11.dll"},
    {Base::System, "System32\\swpkcs11.dll"},
    {Base::ProgramFiles, "Safeweb\\swpkcs11.dll"},
    {Base::ProgramFiles, "Certisign Certificadora Digital\\Certisign Token\\CertisignPKCS11.dll"},
    {Base::System, "System32\\aetpkss1.dll"},
    {Base::System, "SysWOW64\\aetpkss1.dll"},
    {Base::ProgramFiles, "AET Europe B.V\\SafeSign Identity Client\\aetpkss1.dll"},
    {Base::ProgramFilesX86, "AET Europe B.V\\SafeSign Identity Client\\aetpkss1.dll"},
    {Base::ProgramFiles, "A.E.T. Europe B.V\\SafeSign Identity Client\\aetpkss1.dll"},
    {Base::ProgramFilesX86, "A.E.T. Europe B.V\\SafeSign Identity Client\\aetpkss1.dll"},
    {Base::ProgramFiles, "Giesecke & Devrient GmbH\\StarSign Crypto USB Token\\sscm.dll"},
    {Base::ProgramFilesX86, "Giesecke & Devrient GmbH\\StarSign Crypto USB Token\\sscm.dll"},
    {Base::System, "System32\\sscm.dll"},
    {Base::System, "System32\\cryptoki.dll"},
    {Base::System, "System32\\pkcs11.dll"},
    {Base::ProgramFiles, "OpenSC Project\\OpenSC\\pkcs11\\opensc-pkcs11.dll"},
}};

// An empty variable counts as unset; anything else is used as it stands.
std::string baseFromEnv(std::string_view variable, std::string_view fallback) {
    auto value = platform::getEnv(variable);
    if (!value || value->empty()) return std::string(fallback);
    return *value;
}

}  // namespace

std::vector<std::string> candidateModulePaths() {
    const std::string system = baseFromEnv("SystemRoot", "C:\\Windows");
    const std::string programFiles = baseFromEnv("ProgramFiles", "C:\\Program Files");
    const std::string programFilesX86 = baseFromEnv("ProgramFiles(x86)", "C:\\Program Files (x86)");
    std::vector<std::string> paths;
    paths.reserve(kCandidates.size());
    for (const auto& c : kCandidates) {
        const std::string& base = c.base == Base::System         ? system
                                  : c.base == Base::ProgramFiles ? programFiles
                                                                 : programFilesX86;
        paths.push_back(joinPath(base, c.relative));
    }
    return paths;
}

std::vector<std::string> existingPaths(const std::vector<std::string>& paths) {
    std::vector<std::string> found;
    for (const auto& p : paths)
        if (platform::pathExists(p)) found.push_back(p);
    return found;
}

std::vector<std::string> findPkcs11Libraries() { return existingPaths(candidateModulePaths()); }

}  // namespace quillon
