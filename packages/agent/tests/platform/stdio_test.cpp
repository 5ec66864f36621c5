// The process's own standard streams, pointed at pipes for the test.
#include "platform/stdio.h"

#include <gtest/gtest.h>

#include "host/framing.h"
#include "support/memory_streams.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace quillon {
namespace {

using testing::frameOf;

#ifdef _WIN32

// Puts `handle` in place of a standard handle until the object goes away.
class SwappedStdHandle {
public:
    SwappedStdHandle(DWORD which, HANDLE handle) : which_(which), saved_(GetStdHandle(which)) {
        SetStdHandle(which, handle);
    }
    ~SwappedStdHandle() { SetStdHandle(which_, saved_); }

private:
    DWORD which_;
    HANDLE saved_;
};

void writeAll(HANDLE h, const std::string& bytes) {
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr));
    ASSERT_EQ(done, bytes.size());
}

TEST(PlatformStdio, FramesFromAPipeThenItsClosingIsTheEndOfStream) {
    HANDLE readEnd, writeEnd;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    writeAll(writeEnd, frameOf(R"({"type":"QUILLON_PING"})"));
    CloseHandle(writeEnd);  // reads past the data now fail with ERROR_BROKEN_PIPE
    {
        SwappedStdHandle in(STD_INPUT_HANDLE, readEnd);
        EXPECT_EQ(readMessage(platform::standardInput()).value().view(), R"({"type":"QUILLON_PING"})");
        EXPECT_EQ(readMessage(platform::standardInput()).error().text, "EOF");
    }
    CloseHandle(readEnd);
}

TEST(PlatformStdio, AMessageModePipeDeliversFramesLongerThanOneRead) {
    const wchar_t* name = L"\\\\.\\pipe\\quillon-stdio-test";
    HANDLE server = CreateNamedPipeW(name, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_MESSAGE | PIPE_WAIT, 1, 65536, 65536, 0,
                                     nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE client = CreateFileW(name, GENERIC_READ | FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    DWORD mode = PIPE_READMODE_MESSAGE;
    ASSERT_TRUE(SetNamedPipeHandleState(client, &mode, nullptr, nullptr));
    writeAll(server, frameOf(R"({"type":"QUILLON_PING"})") + frameOf("{}"));  // one message
    CloseHandle(server);
    {
        SwappedStdHandle in(STD_INPUT_HANDLE, client);
        EXPECT_EQ(readMessage(platform::standardInput()).value().view(), R"({"type":"QUILLON_PING"})");
        EXPECT_EQ(readMessage(platform::standardInput()).value().view(), "{}");
        EXPECT_EQ(readMessage(platform::standardInput()).error().text, "EOF");
    }
    CloseHandle(client);
}

#else

// Puts `fd` in place of a standard descriptor until the object goes away.
class SwappedFd {
public:
    SwappedFd(int target, int fd) : target_(target), saved_(::dup(target)) { ::dup2(fd, target); }
    ~SwappedFd() {
        ::dup2(saved_, target_);
        ::close(saved_);
    }

private:
    int target_, saved_;
};

TEST(PlatformStdio, WritingToAPipeWithoutReaderFailsInsteadOfEndingTheProcess) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    {
        SwappedFd out(STDOUT_FILENO, fds[1]);
        auto written = writeFrame(platform::standardOutput(), "{}");
        ASSERT_FALSE(written.has_value());
        EXPECT_EQ(written.error().text.rfind("write: ", 0), 0u) << written.error().text;
    }
    ::close(fds[1]);
}

#endif

}  // namespace
}  // namespace quillon
