#include "softhsm_tokens.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/paths.h"
#include "x509/certificate.h"

namespace quillon::testing {
namespace {

constexpr const char* kSoftHsmModule = "/usr/lib/softhsm/libsofthsm2.so";
constexpr const char* kSoPin = "87654321";

std::string shellQuoted(std::string_view s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    std::string s = ss.str();
    return Bytes(s.begin(), s.end());
}

void must(const std::string& command) {
    if (runShell(command) != 0) throw std::runtime_error("command failed: " + command);
}

}  // namespace

bool softHsmAvailable() {
    return std::filesystem::exists(kSoftHsmModule) && runShell("command -v softhsm2-util pkcs11-tool openssl") == 0;
}

int runShell(const std::string& command) {
    int status = std::system(("{ " + command + " ; } >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

SoftHsmLab::SoftHsmLab() {
    char pattern[] = "/tmp/quillon-sign-XXXXXX";
    dir_ = mkdtemp(pattern);
    std::filesystem::create_directories(dir_ + "/tokens");
    std::filesystem::create_directories(dir_ + "/sysroot");
    std::filesystem::create_directories(dir_ + "/pf");
    std::filesystem::create_directories(dir_ + "/pf86");
    std::ofstream(dir_ + "/softhsm2.conf") << "directories.tokendir = " << dir_ << "/tokens\n"
                                           << "objectstore.backend = file\nlog.level = ERROR\n";
    setenv("SOFTHSM2_CONF", (dir_ + "/softhsm2.conf").c_str(), 1);
    setenv("SystemRoot", (dir_ + "/sysroot").c_str(), 1);
    setenv("ProgramFiles", (dir_ + "/pf").c_str(), 1);
    setenv("ProgramFiles(x86)", (dir_ + "/pf86").c_str(), 1);
    module_ = dir_ + "/libsofthsm2-copy.so";
    std::filesystem::copy_file(std::filesystem::canonical(kSoftHsmModule), module_);
}

SoftHsmLab::~SoftHsmLab() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void SoftHsmLab::initToken(std::string_view label, std::string_view pin) {
    must("softhsm2-util --init-token --free --label " + shellQuoted(label) + " --pin " + shellQuoted(pin) + " --so-pin " +
         kSoPin);
}

LabCertificate SoftHsmLab::importPair(std::string_view token, std::string_view pin, std::string_view label,
                                      std::string_view keyType, std::string_view idHex, bool withKey) {
    const std::string base = dir_ + "/" + std::string(label);
    const std::string newkey = keyType == "ec" ? "ec -pkeyopt ec_paramgen_curve:P-256" : std::string(keyType);
    must("openssl req -x509 -newkey " + newkey + " -nodes -keyout " + base + ".key -out " + base +
         ".pem -days 30 -subj " + shellQuoted("/CN=" + std::string(label) + ":12345678900/O=Quillon Teste"));
    must("openssl pkcs8 -topk8 -nocrypt -in " + base + ".key -outform DER -out " + base + ".key.der");
    must("openssl x509 -in " + base + ".pem -outform DER -out " + base + ".der");
    const std::string tool = "pkcs11-tool --module " + std::string(kSoftHsmModule) + " --token-label " +
                             shellQuoted(token) + " --login --pin " + shellQuoted(pin) + " --label " + shellQuoted(label) +
                             (idHex.empty() ? std::string() : " --id " + std::string(idHex));
    if (withKey) must(tool + " --write-object " + base + ".key.der --type privkey");
    must(tool + " --write-object " + base + ".der --type cert");
    LabCertificate cert;
    cert.label = label;
    cert.der = readFile(base + ".der");
    cert.thumbprint = thumbprintOf(cert.der);
    cert.certPath = base + ".pem";
    return cert;
}

std::string SoftHsmLab::placeModule(std::string_view relative) {
    auto target = std::filesystem::path(dir_) / "sysroot" / relative;
    std::filesystem::create_directories(target.parent_path());
    std::filesystem::copy_file(module_, target, std::filesystem::copy_options::overwrite_existing);
    // The path text as the candidate list writes it.
    return normalizePath(dir_ + "/sysroot/" + std::string(relative));
}

}  // namespace quillon::testing
