// A throwaway SoftHSM2 token for the signing benchmarks: one RSA-2048 key and
// its certificate (CKA_ID 01), and a copy of the SoftHSM module placed as the
// first candidate module under a private SystemRoot. The environment of this
// process (and of any agent it starts) points at it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "common/bytes.h"
#include "common/paths.h"
#include "x509/certificate.h"

namespace quillon::bench {

struct BenchToken {
    std::string dir;
    std::string pin = "123456";
    std::string thumbprint;
    std::string modulePath;  // the agent's path text of the placed module
    std::string certPem;

    BenchToken() {
        char pattern[] = "/tmp/quillon-bench-XXXXXX";
        dir = mkdtemp(pattern);
        namespace fs = std::filesystem;
        fs::create_directories(dir + "/tokens");
        fs::create_directories(dir + "/sysroot/System32");
        std::ofstream(dir + "/softhsm2.conf") << "directories.tokendir = " << dir << "/tokens\n"
                                              << "objectstore.backend = file\nlog.level = ERROR\n";
        setenv("SOFTHSM2_CONF", (dir + "/softhsm2.conf").c_str(), 1);
        setenv("SystemRoot", (dir + "/sysroot").c_str(), 1);
        setenv("ProgramFiles", (dir + "/pf").c_str(), 1);
        setenv("ProgramFiles(x86)", (dir + "/pf86").c_str(), 1);
        setenv("TMPDIR", dir.c_str(), 1);  // the agent's log goes here
        const std::string lib = "/usr/lib/softhsm/libsofthsm2.so";
        run("softhsm2-util --init-token --free --label bench --pin " + pin + " --so-pin 87654321");
        run("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + dir + "/k.pem -out " + dir +
            "/c.pem -days 30 -subj /CN=Bench:12345678900");
        run("openssl pkcs8 -topk8 -nocrypt -in " + dir + "/k.pem -outform DER -out " + dir + "/k.der");
        run("openssl x509 -in " + dir + "/c.pem -outform DER -out " + dir + "/c.der");
        const std::string tool = "pkcs11-tool --module " + lib + " --login --pin " + pin + " --id 01 --label bench";
        run(tool + " --write-object " + dir + "/k.der --type privkey");
        run(tool + " --write-object " + dir + "/c.der --type cert");
        fs::copy_file(fs::canonical(lib), dir + "/sysroot/System32/eToken.dll");
        modulePath = normalizePath(dir + "/sysroot/System32/eToken.dll");
        certPem = dir + "/c.pem";
        std::ifstream in(dir + "/c.der", std::ios::binary);
        Bytes der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        thumbprint = thumbprintOf(der);
    }
    ~BenchToken() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    static void run(const std::string& command) {
        if (std::system(("{ " + command + " ; } >/dev/null 2>&1").c_str()) != 0)
            throw std::runtime_error("failed: " + command);
    }
};

}  // namespace quillon::bench
