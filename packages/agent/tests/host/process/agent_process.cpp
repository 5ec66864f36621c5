#include "agent_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/frames.h"

namespace quillon::process {
namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

struct Pipe {
    int read = -1, write = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) read = fds[0], write = fds[1];
    }
};

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// fork + exec with the given standard input; stdout and stderr to pipes.
// The child's stdin fd is `stdinFd` and its stdout `outFd` (-1: closed).
int spawn(const std::vector<std::string>& argv, const Env& env, int stdinFd, int outFd, int errFd) {
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    // Child: only async-signal-safe work until exec, apart from setenv,
    // which is fine in a single-threaded parent.
    if (stdinFd >= 0) {
        ::dup2(stdinFd, 0);
    } else {
        ::close(0);
    }
    if (outFd >= 0) {
        ::dup2(outFd, 1);
    } else {
        ::close(1);
    }
    ::dup2(errFd, 2);
    // As a browser starts its hosts: the three standard streams and nothing
    // of the test process besides.
    ::close_range(3, ~0U, 0);
    for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    ::signal(SIGPIPE, SIG_DFL);  // as a browser starts its hosts; we ignore it here
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
}

long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void drain(int fd, std::string& into) {
    char buffer[65536];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) into.append(buffer, static_cast<std::size_t>(n));
}

// Feeds `input` to `in` (closing it when done) while collecting `out` and
// `err` until both end or the deadline passes; closes all three.
void pump(int& in, const std::string& input, int& out, int& err, AgentResult& result, long deadline) {
    std::size_t written = 0;
    if (input.empty()) closeFd(in);
    while (out >= 0 || err >= 0) {
        struct pollfd fds[3];
        int count = 0;
        if (out >= 0) fds[count++] = {out, POLLIN, 0};
        if (err >= 0) fds[count++] = {err, POLLIN, 0};
        if (in >= 0) fds[count++] = {in, POLLOUT, 0};
        long left = deadline - nowMs();
        if (left <= 0) break;
        if (::poll(fds, count, static_cast<int>(left)) < 0) continue;
        for (int i = 0; i < count; ++i) {
            if (!fds[i].revents) continue;
            int fd = fds[i].fd;
            if (fd == in) {
                ssize_t n = ::write(fd, input.data() + written, input.size() - written);
                if (n > 0) written += static_cast<std::size_t>(n);
                if (n < 0 || written == input.size()) closeFd(in);
                continue;
            }
            std::string& into = fd == out ? result.out : result.err;
            std::size_t before = into.size();
            drain(fd, into);
            if (into.size() == before) closeFd(fd == out ? out : err);
        }
    }
    closeFd(in);
    closeFd(out);
    closeFd(err);
}

AgentResult reap(int pid, int timeoutSeconds, AgentResult result) {
    long deadline = nowMs() + timeoutSeconds * 1000L;
    int status = 0;
    struct rusage usage {};
    for (;;) {
        pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
        if (done == pid) break;
        if (nowMs() > deadline) {
            ::kill(pid, SIGKILL);
            ::wait4(pid, &status, 0, &usage);
            result.exitStatus = -1;
            result.maxRssKb = usage.ru_maxrss;
            return result;
        }
        ::usleep(2000);
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.maxRssKb = usage.ru_maxrss;
    return result;
}

}  // namespace

std::vector<std::string> shellWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord) words.push_back(word), word.clear(), inWord = false;
        } else if (c == '\'') {
            inWord = true;
            while (++i < line.size() && line[i] != '\'') word += line[i];
        } else if (c == '"') {
            inWord = true;
            while (++i < line.size() && line[i] != '"') {
                if (line[i] == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) ++i;
                word += line[i];
            }
        } else if (c == '\\' && i + 1 < line.size()) {
            inWord = true;
            word += line[++i];
        } else {
            inWord = true;
            word += c;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

std::vector<std::string> agentCommand() {
    const char* configured = std::getenv("QUILLON_AGENT_CMD");
    if (configured && *configured) return shellWords(configured);
    return {QUILLON_AGENT_DEFAULT_CMD};
}

bool agentRunsUnderWine() {
    // Any word of the command, so that "env X=1 wine agent.exe" counts too.
    for (const auto& word : agentCommand()) {
        std::string name = word.substr(word.find_last_of('/') + 1);
        if (name.rfind("wine", 0) == 0) return true;
    }
    return false;
}

namespace {

AgentResult runOnce(const AgentRun& run, int timeoutSeconds) {
    std::vector<std::string> argv = agentCommand();
    argv.insert(argv.end(), run.args.begin(), run.args.end());

    Pipe out, err, in;
    int stdinFd = -1;
    if (run.stdinKind == Stdin::Pipe) stdinFd = in.read;
    if (run.stdinKind == Stdin::DevNull) stdinFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (run.stdinKind == Stdin::File) stdinFd = ::open(run.inputFile.c_str(), O_RDONLY | O_CLOEXEC);

    if (run.stdoutClosed) closeFd(out.write), closeFd(out.read);
    int pid = spawn(argv, run.env, stdinFd, out.write, err.write);
    closeFd(out.write);
    closeFd(err.write);
    closeFd(in.read);
    if (run.stdinKind != Stdin::Pipe) {
        closeFd(in.write);
        if (stdinFd >= 0) ::close(stdinFd);
    }

    AgentResult result;
    ::signal(SIGPIPE, SIG_IGN);  // the agent may leave before taking all input
    long deadline = nowMs() + timeoutSeconds * 1000L;
    pump(in.write, run.input, out.read, err.read, result, deadline);
    long left = (deadline - nowMs()) / 1000;
    return reap(pid, static_cast<int>(left > 1 ? left : 1), std::move(result));
}

// Under Wine a start can fail before the program runs at all: the launcher
// ends with status 1 and nothing on either stream, and the agent leaves no
// log line (seen about once in a few hundred starts, on fresh prefixes). The
// agent never ends that way on a pipe: agent mode always exits 0, and a crash
// ends with an exception code. Such a start is made again, at most twice;
// every other result stands as it is.
bool wineNeverStartedIt(const AgentRun& run, const AgentResult& result) {
    return run.stdinKind == Stdin::Pipe && result.exitStatus == 1 && result.out.empty() && result.err.empty() &&
           agentRunsUnderWine();
}

}  // namespace

AgentResult runAgent(const AgentRun& run, int timeoutSeconds) {
    AgentResult result = runOnce(run, timeoutSeconds);
    for (int again = 0; again < 2 && wineNeverStartedIt(run, result); ++again) {
        std::fprintf(stderr, "wine did not start the agent (%s); starting it again\n", describe(result).c_str());
        result = runOnce(run, timeoutSeconds);
    }
    return result;
}

LiveAgent::LiveAgent(const Env& env) {
    Pipe in, out, err;
    pid_ = spawn(agentCommand(), env, in.read, out.write, err.write);
    ::close(in.read);
    ::close(out.write);
    ::close(err.write);
    in_ = in.write, out_ = out.read, err_ = err.read;
    ::signal(SIGPIPE, SIG_IGN);
}

LiveAgent::~LiveAgent() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    closeFd(in_);
    closeFd(out_);
    closeFd(err_);
}

bool LiveAgent::send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool LiveAgent::receiveFrame(std::string& body, int timeoutMs) {
    long deadline = nowMs() + timeoutMs;
    for (;;) {
        std::string rest;
        auto frames = testing::framesOf(pending_, &rest);
        if (!frames.empty()) {
            body = frames.front();
            pending_ = pending_.substr(4 + body.size());
            return true;
        }
        long left = deadline - nowMs();
        if (left <= 0) return false;
        struct pollfd fd = {out_, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left)) <= 0) continue;
        std::size_t before = pending_.size();
        drain(out_, pending_);
        if (pending_.size() == before) return false;
    }
}

void LiveAgent::closeInput() { closeFd(in_); }
void LiveAgent::closeOutput() { closeFd(out_); }

AgentResult LiveAgent::wait(int timeoutSeconds) {
    AgentResult result;
    result.out = pending_;
    long deadline = nowMs() + timeoutSeconds * 1000L;
    pump(in_, std::string(), out_, err_, result, deadline);
    int pid = pid_;
    pid_ = -1;
    return reap(pid, timeoutSeconds, std::move(result));
}

std::string describe(const AgentResult& result) {
    std::string text = result.exitStatus < 0 ? "killed or timed out" : "exit status " + std::to_string(result.exitStatus);
    text += ", " + std::to_string(result.out.size()) + " bytes on stdout, stderr: ";
    text += result.err.empty() ? "(nothing)" : "\n" + result.err;
    return text;
}

}  // namespace quillon::process
