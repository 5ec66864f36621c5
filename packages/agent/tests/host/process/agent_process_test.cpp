// The built agent through real pipes: mode choice, framing, replies, the log.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "agent_process.h"
#include "support/frames.h"

namespace quillon::process {
namespace {

namespace fs = std::filesystem;
using testing::frameOf;
using testing::framesOf;
using testing::lengthPrefix;

constexpr const char* kPong = R"({"type":"QUILLON_PONG","version":"1.1.2"})";
constexpr const char* kStartLine = "=== agente iniciado (v1.1.2) ===";

std::string fileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Each test gets its own TMPDIR. The log is looked for in QUILLON_LOG_DIR
// when set (under Wine it lands in the prefix's temp folder), else there.
class AgentProcess : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quillon-process-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        scratch_ = pattern;
        const char* logDir = std::getenv("QUILLON_LOG_DIR");
        logPath_ = fs::path(logDir && *logDir ? logDir : scratch_.string()) / "quillon-agent.log";
        markLog();
    }
    // Later log checks look only at what is written after this point.
    void markLog() { logOffset_ = fs::exists(logPath_) ? fs::file_size(logPath_) : 0; }
    void TearDown() override { fs::remove_all(scratch_); }

    std::vector<std::pair<std::string, std::string>> env() const {
        std::vector<std::pair<std::string, std::string>> vars = {{"TMPDIR", scratch_.string()}};
        // Keep installer-mode runs away from the real profile. Wine finds its
        // prefix through HOME when WINEPREFIX is unset, so leave it alone there.
        vars.push_back({"LOCALAPPDATA", (scratch_ / "localappdata").string()});
        vars.push_back({"USERPROFILE", (scratch_ / "profile").string()});
        if (!agentRunsUnderWine()) vars.push_back({"HOME", (scratch_ / "home").string()});
        return vars;
    }

    AgentResult run(AgentRun r, int timeoutSeconds = 120) {
        auto extra = env();
        r.env.insert(r.env.begin(), extra.begin(), extra.end());
        AgentResult result = runAgent(r, timeoutSeconds);
        EXPECT_EQ(result.exitStatus, 0) << describe(result);
        EXPECT_EQ(result.err, "") << "nothing may reach standard error";
        return result;
    }
    AgentResult runWithInput(const std::string& input) {
        AgentRun r;
        r.input = input;
        return run(r);
    }

    bool logTouched() const { return fs::exists(logPath_) && fs::file_size(logPath_) != logOffset_; }

    // The messages this run appended to the log; every line must carry the
    // "[YYYY-MM-DD hh:mm:ss] " stamp.
    std::vector<std::string> logMessages() const {
        static const std::regex stamped(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] (.*))");
        std::vector<std::string> messages;
        std::string text = fs::exists(logPath_) ? fileText(logPath_).substr(logOffset_) : "";
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            std::smatch m;
            EXPECT_TRUE(std::regex_match(line, m, stamped)) << "bad log line: " << line;
            messages.push_back(m.size() > 1 ? m[1].str() : line);
        }
        EXPECT_TRUE(text.empty() || text.back() == '\n');
        EXPECT_EQ(text.find('\r'), std::string::npos) << "lines end in a bare line feed";
        return messages;
    }
    // The core writes no line but the first and the one that ends the loop.
    void expectLogEndedWith(const std::string& lastLine) {
        EXPECT_EQ(logMessages(), (std::vector<std::string>{kStartLine, "readMessage erro: " + lastLine}));
    }

    fs::path scratch_, logPath_;
    std::uintmax_t logOffset_ = 0;
};

TEST_F(AgentProcess, AnswersAPingWhateverTheArgumentsAndLogsTheEndOfTheStream) {
    AgentRun r;
    r.args = {"--uninstall", "chrome-extension://abcdefghijklmnopabcdefghijklmnop/"};
    r.input = frameOf(R"({"type":"QUILLON_PING"})");
    EXPECT_EQ(run(r).out, frameOf(kPong)) << "nothing but frames on standard output";
    expectLogEndedWith("EOF");
}

TEST_F(AgentProcess, RefusesMalformedAndUnknownRequestsAndGoesOn) {
    auto result = runWithInput(frameOf("") + frameOf("[]") + frameOf("{}") +
                               frameOf(R"({"type":"quillon_ping","pin":"1234"})") +
                               frameOf(R"({"type":"QUILLON_PING","pin":7})"));
    std::string rest;
    auto replies = framesOf(result.out, &rest);
    EXPECT_EQ(rest, "");
    ASSERT_EQ(replies.size(), 5u);
    EXPECT_EQ(replies[0].rfind(R"({"type":"ERROR","error":"json inválido: )", 0), 0u) << replies[0];
    EXPECT_EQ(replies[1].rfind(R"({"type":"ERROR","error":"json inválido: )", 0), 0u) << replies[1];
    EXPECT_EQ(replies[2], R"({"type":"ERROR","error":"tipo não suportado: "})");
    EXPECT_EQ(replies[3], R"({"type":"ERROR","error":"tipo não suportado: quillon_ping"})");
    EXPECT_EQ(replies[4], kPong);
    expectLogEndedWith("EOF");  // neither error replies nor request contents are logged
}

TEST_F(AgentProcess, EachReplyArrivesBeforeTheNextRequestIsSent) {
    LiveAgent agent(env());
    std::string reply;
    ASSERT_TRUE(agent.send(frameOf(R"({"type":"QUILLON_PING"})")));
    ASSERT_TRUE(agent.receiveFrame(reply)) << "the reply must not wait in a buffer";
    EXPECT_EQ(reply, kPong);
    // The length and body of the next request in separate writes.
    std::string next = frameOf(R"({"type":"X"})");
    ASSERT_TRUE(agent.send(next.substr(0, 2)));
    ::usleep(50000);
    ASSERT_TRUE(agent.send(next.substr(2, 5)));
    ::usleep(50000);
    ASSERT_TRUE(agent.send(next.substr(7)));
    ASSERT_TRUE(agent.receiveFrame(reply));
    EXPECT_EQ(reply, R"({"type":"ERROR","error":"tipo não suportado: X"})");
    auto result = agent.wait();
    EXPECT_EQ(result.exitStatus, 0) << describe(result);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    expectLogEndedWith("EOF");
}

TEST_F(AgentProcess, EveryEndOfStreamEndsTheLoopWithItsLogLine) {
    struct Case {
        std::string input;
        std::string lastLine;
        std::size_t replies;
    } cases[] = {
        {"", "EOF", 0},
        {std::string("\x05\x00", 2), "unexpected EOF", 0},
        {lengthPrefix(5), "EOF", 0},
        {lengthPrefix(5) + "{\"a\"", "unexpected EOF", 0},
        {frameOf(R"({"type":"QUILLON_PING"})") + lengthPrefix(30), "EOF", 1},
        {frameOf(R"({"type":"QUILLON_PING"})") + "\x01", "unexpected EOF", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("input of " + std::to_string(c.input.size()) + " bytes");
        markLog();
        auto result = runWithInput(c.input);
        std::string rest;
        EXPECT_EQ(framesOf(result.out, &rest).size(), c.replies);
        EXPECT_EQ(rest, "");
        expectLogEndedWith(c.lastLine);
    }
}

TEST_F(AgentProcess, HugeAnnouncedLengthsEndTheLoopWithoutTheMemory) {
    // 0xFFFFFFFF is above the accepted maximum; 256 MiB is accepted but only
    // a few bytes follow. Neither may make the agent take that memory.
    for (unsigned length : {0xFFFFFFFFu, 256u * 1024u * 1024u}) {
        SCOPED_TRACE(length);
        markLog();
        auto result = runWithInput(lengthPrefix(length) + R"({"type":"QUILLON_PING"})");
        EXPECT_EQ(result.out, "");
        EXPECT_LT(result.maxRssKb, 200 * 1024) << "peak resident memory in KiB";
        auto messages = logMessages();
        ASSERT_EQ(messages.size(), 2u);
        if (length == 0xFFFFFFFFu)
            EXPECT_EQ(messages.back().rfind("readMessage erro: message length 4294967295 exceeds the limit", 0), 0u)
                << messages.back();
        else
            EXPECT_EQ(messages.back(), "readMessage erro: unexpected EOF");
    }
}

TEST_F(AgentProcess, RepliesToAReaderThatLeftAreLostAndTheLoopGoesOn) {
    LiveAgent agent(env());
    agent.closeOutput();
    std::string pings;
    for (int i = 0; i < 4000; ++i) pings += frameOf(R"({"type":"QUILLON_PING"})");  // more than a pipe holds
    ASSERT_TRUE(agent.send(pings));
    auto result = agent.wait();
    EXPECT_EQ(result.exitStatus, 0) << "a failed write must not end the process; " << describe(result);
    EXPECT_EQ(result.err, "");
    expectLogEndedWith("EOF");
}

// The output of a shell command, trailing line feed dropped.
std::string commandOutput(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p)) out += buf;
        ::pclose(p);
    }
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

TEST_F(AgentProcess, AHugeBatchIsRefusedBeforeTheTokenIsTouchedAndTheNextRequestServed) {
    if (agentRunsUnderWine()) GTEST_SKIP() << "the scripted module here is a Linux library";
    // A token the agent finds at its first candidate path: the scripted test
    // module holding one certificate and its key, PIN 1234.
    const fs::path system32 = scratch_ / "Windows" / "System32";
    const std::string cert = (scratch_ / "cert.der").string(), key = (scratch_ / "key.pem").string();
    fs::create_directories(system32);
    fs::copy_file(QUILLON_SCRIPTED_MODULE, system32 / "eToken.dll");
    const std::string thumbprint =
        commandOutput("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=Fulano:123 -days 30 -outform DER -keyout " +
                      key + " -out " + cert + " 2>/dev/null && openssl dgst -sha1 -r " + cert + " | cut -d' ' -f1");
    ASSERT_EQ(thumbprint.size(), 40u);
    std::ofstream(system32 / "eToken.dll.json")
        << R"({"slots":[{"id":1,"pin":"1234","objects":[{"class":"certificate","id":"01","valueFile":")" << cert
        << R"("},{"class":"privateKey","id":"01","keyFile":")" << key << R"("}]}]})";

    auto batchOf = [&](std::size_t items) {
        std::string body = R"({"type":"QUILLON_AGENT_SIGN_BATCH","thumbprint":")" + thumbprint +
                           R"(","pin":"1234","items":[)";
        body.reserve(body.size() + 3 * items);
        for (std::size_t i = 0; i < items; ++i) body += i ? ",{}" : "{}";
        return body + "]}";
    };
    AgentRun r;
    r.env = env();
    r.env.insert(r.env.end(), {{"SystemRoot", (scratch_ / "Windows").string()},
                               {"ProgramFiles", (scratch_ / "none").string()},
                               {"ProgramFiles(x86)", (scratch_ / "none").string()}});
    r.input = frameOf(batchOf(3'000'000)) + frameOf(batchOf(1)) + frameOf(R"({"type":"QUILLON_PING"})");
    AgentResult result = runAgent(r, 60);
    EXPECT_EQ(result.exitStatus, 0) << describe(result);
    EXPECT_LT(result.maxRssKb, 100 * 1024) << "the items past the limit are not held, in KiB";

    auto replies = framesOf(result.out);
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0], R"({"type":"ERROR","error":"items demais: no máximo 10000 por batch"})");
    EXPECT_NE(replies[1].find(R"("results":[{"id":"","signature":")"), std::string::npos) << "the token signs";
    EXPECT_EQ(replies[2], kPong);
    const std::string journal = fileText(system32 / "eToken.dll.journal");
    std::size_t logins = 0;
    for (auto at = journal.find("C_Login "); at != std::string::npos; at = journal.find("C_Login ", at + 1))
        ++logins;
    EXPECT_EQ(logins, 1u) << "only the batch within the limit logs in";
}

// Modules run inside the process: one that prints on standard output and
// reads standard input, as vendor modules with a debug switch do, neither
// reaches the replies nor takes a byte of the requests, and a program it
// starts does not hold the replies open.
TEST_F(AgentProcess, AModuleThatTalksOnTheStandardStreamsLeavesTheFramesAlone) {
    if (agentRunsUnderWine()) GTEST_SKIP() << "the scripted module here is a Linux library";
    const fs::path system32 = scratch_ / "Windows" / "System32";
    fs::create_directories(system32);
    fs::copy_file(QUILLON_SCRIPTED_MODULE, system32 / "eToken.dll");
    // The module also starts a program that outlives the agent: the replies
    // end with the agent, not with it.
    const fs::path childEnded = scratch_ / "child ended";
    std::ofstream(system32 / "eToken.dll.json")
        << R"({"chatty":true,"lingeringChild":")" << childEnded.string() << R"(","slots":[{"id":1}]})";
    AgentRun r;
    r.env = {{"SystemRoot", (scratch_ / "Windows").string()},
             {"ProgramFiles", (scratch_ / "none").string()},
             {"ProgramFiles(x86)", (scratch_ / "none").string()}};
    r.input = frameOf(R"({"type":"QUILLON_LIST_CERTS"})") + frameOf(R"({"type":"QUILLON_PING"})");
    const AgentResult result = run(r);
    EXPECT_EQ(result.out, frameOf(R"({"type":"QUILLON_LIST_CERTS_RESPONSE","certificates":[]})") + frameOf(kPong));
    const std::string journal = fileText(system32 / "eToken.dll.journal");
    EXPECT_NE(journal.find("C_Initialize"), std::string::npos) << "the module was loaded";
    EXPECT_NE(journal.find("C_GetSlotList"), std::string::npos) << "and asked for its slots";
    EXPECT_FALSE(fs::exists(childEnded)) << "the replies were held open by the module's program";
}

// What a program that a module starts would inherit from a serving agent:
// standard input and output on the null device, and the browser's pipes only
// on descriptors that close on exec (standard error is left as it was).
TEST_F(AgentProcess, TheFramesTravelOnDescriptorsNoChildInherits) {
    if (agentRunsUnderWine()) GTEST_SKIP() << "reads the descriptors of a Linux process";
    LiveAgent agent(env());
    std::string reply;
    ASSERT_TRUE(agent.send(frameOf(R"({"type":"QUILLON_PING"})")));
    ASSERT_TRUE(agent.receiveFrame(reply));
    EXPECT_EQ(reply, kPong);
    const fs::path process = "/proc/" + std::to_string(agent.pid());
    EXPECT_EQ(fs::read_symlink(process / "fd" / "0"), "/dev/null");
    EXPECT_EQ(fs::read_symlink(process / "fd" / "1"), "/dev/null");
    int pipes = 0;
    for (const auto& entry : fs::directory_iterator(process / "fd")) {
        const std::string fd = entry.path().filename().string();
        std::error_code unreadable;
        if (fd == "2" || !fs::read_symlink(entry.path(), unreadable).string().starts_with("pipe:")) continue;
        ++pipes;
        std::istringstream info(fileText(process / "fdinfo" / fd));
        std::string key, flags;
        while (info >> key >> flags && key != "flags:") {
        }
        EXPECT_NE(std::stoul(flags, nullptr, 8) & 02000000, 0u) << "descriptor " << fd << " is inherited";
    }
    EXPECT_EQ(pipes, 2) << "the request and reply pipes";
    agent.closeInput();
    EXPECT_EQ(agent.wait().exitStatus, 0);
}

TEST_F(AgentProcess, ReadsRequestsFromADiskFile) {
    // Wine hands over a unix file as a disk handle it cannot describe, so the mode test says installer there.
    if (agentRunsUnderWine()) GTEST_SKIP() << "Wine cannot describe a unix file given as standard input";
    fs::path requests = scratch_ / "requests.bin";
    std::ofstream(requests, std::ios::binary) << frameOf(R"({"type":"QUILLON_PING"})") << frameOf("{}");
    AgentRun r;
    r.stdinKind = Stdin::File;
    r.inputFile = requests.string();
    auto result = run(r);
    auto replies = framesOf(result.out);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0], kPong);
    EXPECT_EQ(replies[1], R"({"type":"ERROR","error":"tipo não suportado: "})");
    expectLogEndedWith("EOF");
}

TEST_F(AgentProcess, NullDeviceOrNoStdinMeansInstallerModeWithoutALog) {
    // Silent uninstall in a scratch profile: the least intrusive installer run.
    for (Stdin kind : {Stdin::DevNull, Stdin::Closed}) {
        SCOPED_TRACE(kind == Stdin::DevNull ? "stdin from /dev/null" : "no stdin");
        AgentRun r;
        r.stdinKind = kind;
        r.args = {"--uninstall", "--silent"};
        auto result = run(r);
        EXPECT_EQ(result.out, "");
        EXPECT_FALSE(logTouched()) << "installer mode keeps no log";
    }
}

TEST_F(AgentProcess, AClosedStandardOutputNeverSendsRepliesIntoTheLog) {
    // The log is the first file the agent opens: it must not take descriptor 1.
    AgentRun r;
    r.stdoutClosed = true;
    r.input = frameOf(R"({"type":"QUILLON_PING"})") + frameOf("{}");
    run(r);
    std::string text = fileText(logPath_).substr(logOffset_);
    EXPECT_EQ(text.find("QUILLON_PONG"), std::string::npos) << text;
    expectLogEndedWith("EOF");
}

TEST_F(AgentProcess, AnUnwritableLogFolderDoesNotStopTheAgent) {
    if (std::getenv("QUILLON_LOG_DIR")) GTEST_SKIP() << "the log folder is not ours to choose here";
    AgentRun r;
    r.env = {{"TMPDIR", (scratch_ / "no-such-folder").string()}};
    r.input = frameOf(R"({"type":"QUILLON_PING"})");
    auto result = run(r);
    EXPECT_EQ(result.out, frameOf(kPong));
    EXPECT_FALSE(fs::exists(scratch_ / "no-such-folder"));
}

// A named pipe that nobody reads in the log's place: opening it for writing
// would wait for a reader for ever. The agent runs without a log instead.
TEST_F(AgentProcess, ALogPathThatIsNotAFileDoesNotStopTheAgent) {
    if (agentRunsUnderWine()) GTEST_SKIP() << "a named pipe in a folder is a Unix thing";
    const fs::path folder = scratch_ / "fifo-log";
    fs::create_directory(folder);
    ASSERT_EQ(::mkfifo((folder / "quillon-agent.log").c_str(), 0644), 0);
    AgentRun r;
    r.env = {{"TMPDIR", folder.string()}};
    r.input = frameOf(R"({"type":"QUILLON_PING"})");
    // Bounded well below the usual wait: before, the run never ended.
    EXPECT_EQ(run(r, 30).out, frameOf(kPong));
    EXPECT_TRUE(fs::is_fifo(folder / "quillon-agent.log"));
}

TEST_F(AgentProcess, LogStampsAreInTheLocalTimeZone) {
    if (agentRunsUnderWine()) GTEST_SKIP() << "Wine takes its zone from the prefix, not from TZ";
    // A zone five hours ahead of UTC: a stamp in UTC would be five hours off.
    AgentRun r;
    r.env = {{"TZ", "QLN-5"}};
    r.input = frameOf(R"({"type":"QUILLON_PING"})");
    std::time_t before = std::time(nullptr);
    run(r);
    std::time_t after = std::time(nullptr);

    std::string text = fileText(logPath_).substr(logOffset_);
    std::tm stamp{};
    ASSERT_EQ(std::sscanf(text.c_str(), "[%d-%d-%d %d:%d:%d]", &stamp.tm_year, &stamp.tm_mon, &stamp.tm_mday,
                          &stamp.tm_hour, &stamp.tm_min, &stamp.tm_sec),
              6)
        << text;
    stamp.tm_year -= 1900;
    stamp.tm_mon -= 1;
    std::time_t asUtc = ::timegm(&stamp);  // the stamp read as if it were UTC
    EXPECT_GE(asUtc, before + 5 * 3600 - 1) << text;
    EXPECT_LE(asUtc, after + 5 * 3600 + 1) << text;
}

TEST_F(AgentProcess, ConcurrentRunsAppendToTheSameLog) {
    LiveAgent first(env());
    std::string reply;
    ASSERT_TRUE(first.send(frameOf(R"({"type":"QUILLON_PING"})")));
    ASSERT_TRUE(first.receiveFrame(reply));
    auto second = runWithInput(frameOf(R"({"type":"QUILLON_PING"})"));
    EXPECT_EQ(second.out, frameOf(kPong));
    auto result = first.wait();
    EXPECT_EQ(result.exitStatus, 0) << describe(result);
    EXPECT_EQ(logMessages(),
              (std::vector<std::string>{kStartLine, kStartLine, "readMessage erro: EOF", "readMessage erro: EOF"}));
}

// The harness's own account of a run, which is all a failed start leaves.
TEST(AgentRunDescription, GivesTheStatusTheOutputSizeAndStandardError) {
    AgentResult failed;
    failed.exitStatus = 1;
    failed.err = "wine: could not connect to the server\n";
    EXPECT_EQ(describe(failed), "exit status 1, 0 bytes on stdout, stderr: \nwine: could not connect to the server\n");
    AgentResult silent;
    silent.exitStatus = 0;
    silent.out = "abcd";
    EXPECT_EQ(describe(silent), "exit status 0, 4 bytes on stdout, stderr: (nothing)");
    EXPECT_EQ(describe(AgentResult{}), "killed or timed out, 0 bytes on stdout, stderr: (nothing)");
}

}  // namespace
}  // namespace quillon::process
