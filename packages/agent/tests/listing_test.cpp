// Certificate listing through the scripted module placed at candidate paths:
// call order, batches, failures on every level, de-duplication and the exact
// log lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "base64.h"
#include "certificate.h"
#include "framing.h"
#include "handlers.h"
#include "listing.h"
#include "paths.h"
#include "support/memory_streams.h"
#include "support/test_certificates.h"
#include "support/token_fixtures.h"

namespace quillon {
namespace {

using testing::CandidateRoots;
using testing::CapturedLog;
using testing::ScriptedModule;

// Writes `count` certificates to files and returns their objects' JSON.
struct CertSet {
    std::vector<Bytes> ders;
    std::string objects(std::size_t first = 0, std::size_t n = SIZE_MAX) const {
        std::string json;
        for (std::size_t i = first; i < ders.size() && i < first + n; ++i) {
            if (!json.empty()) json += ",";
            json += R"({"class":"certificate","id":"0)" + std::to_string(i % 10) + R"(","valueHex":")" +
                    testing::hexText(ders[i]) + R"("})";
        }
        return json;
    }
};

CertSet makeCerts(std::size_t n, const std::string& prefix = "Holder") {
    CertSet set;
    for (std::size_t i = 0; i < n; ++i)
        set.ders.push_back(testing::certificateNamed(prefix + " " + std::to_string(i) + ":" + std::to_string(10000 + i),
                                                     static_cast<long>(i + 1)));
    return set;
}

std::string oneSlot(const std::string& objects, const std::string& extra = "") {
    return R"({"slots":[{"id":1,"objects":[)" + objects + "]}]" + extra + "}";
}

std::size_t countOf(const std::vector<std::string>& calls, std::string_view name) {
    return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), name));
}

// Every opened session closed, every started search finished.
void expectCleanJournal(const ScriptedModule& module) {
    std::size_t opened = 0, closed = 0, started = 0, finished = 0;
    for (const auto& line : module.journal()) {
        bool ok = line.ends_with(" rv=0x0");
        if (line.starts_with("C_OpenSession ") && ok) ++opened;
        if (line.starts_with("C_CloseSession ")) ++closed;
        if (line.starts_with("C_FindObjectsInit ") && ok) ++started;
        if (line.starts_with("C_FindObjectsFinal ")) ++finished;
    }
    EXPECT_EQ(opened, closed);
    EXPECT_EQ(started, finished);
}

TEST(Listing, SixteenObjectsTakeTwoSearchCallsAndSeventeenThree) {
    CandidateRoots roots;
    auto certs = makeCerts(17);
    ScriptedModule sixteen(joinPath(roots.systemRoot(), "System32\\eToken.dll"), oneSlot(certs.objects(0, 16)));
    ScriptedModule seventeen(joinPath(roots.systemRoot(), "System32\\pronovapkcs11.dll"),
                             oneSlot(certs.objects(0, 17)));
    auto listed = listCertificates();
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->size(), 17u);  // the first 16 are met again in the second module
    EXPECT_EQ(countOf(sixteen.calls(), "C_FindObjects"), 2u);
    EXPECT_EQ(countOf(seventeen.calls(), "C_FindObjects"), 3u);
    expectCleanJournal(sixteen);
    expectCleanJournal(seventeen);
}

}  // namespace
}  // namespace quillon
