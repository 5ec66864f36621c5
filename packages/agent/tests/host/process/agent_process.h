// Runs the agent command as a child process with real pipes, for black-box
// tests. The command comes from QUILLON_AGENT_CMD (shell words), else the
// native binary built alongside.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace quillon::process {

enum class Stdin { Pipe, DevNull, Closed, File };

struct AgentRun {
    std::vector<std::string> args;                          // after the command's own words
    Stdin stdinKind = Stdin::Pipe;
    bool stdoutClosed = false;                              // the child starts without descriptor 1
    std::string input;                                      // written to the pipe, then closed
    std::string inputFile;                                  // for Stdin::File
    std::vector<std::pair<std::string, std::string>> env;   // set in the child
};

struct AgentResult {
    int exitStatus = -1;  // -1: killed or timed out
    std::string out, err;
    long maxRssKb = 0;
};

// How a run ended, for failure messages: a child that never got going (Wine's
// launcher failing, say) shows up only by its status and standard error.
std::string describe(const AgentResult& result);

// Splits a command line into words: blanks separate, '...' is literal,
// "..." allows \" and \\, a backslash outside quotes escapes one character.
std::vector<std::string> shellWords(const std::string& line);
std::vector<std::string> agentCommand();
bool agentRunsUnderWine();

// Runs to completion (input fed and closed), collecting stdout and stderr.
AgentResult runAgent(const AgentRun& run, int timeoutSeconds = 120);

// A running agent on pipes, for talking one frame at a time.
class LiveAgent {
public:
    explicit LiveAgent(const std::vector<std::pair<std::string, std::string>>& env);
    ~LiveAgent();
    bool send(const std::string& bytes);
    // One whole reply frame's body; empty optional-like: returns false on
    // timeout or end of output.
    bool receiveFrame(std::string& body, int timeoutMs = 30000);
    void closeInput();
    void closeOutput();  // stop reading replies, as a browser that went away
    AgentResult wait(int timeoutSeconds = 60);  // stdout left unread is returned in `out`
    int pid() const { return pid_; }

private:
    int pid_ = -1, in_ = -1, out_ = -1, err_ = -1;
    std::string pending_;
};

}  // namespace quillon::process
