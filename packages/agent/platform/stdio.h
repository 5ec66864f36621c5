// Standard input and output as byte streams, and the one question the mode
// choice asks of standard input. Both streams are binary: no newline
// translation, nothing buffered in the process.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/error.h"

namespace quillon::platform {

enum class StdinKind {
    Missing,     // no standard input, or its type could not be queried
    CharDevice,  // a console, the null device, any other character device
    Other,       // a pipe, a disk file, anything else
};

StdinKind queryStdinKind();

class InputStream {
public:
    virtual ~InputStream() = default;
    // Reads up to `size` bytes. 0 means the end of the stream (a broken pipe
    // counts as the end, too); an error is any other read failure.
    virtual Result<std::size_t> read(std::uint8_t* buffer, std::size_t size) = 0;
};

class OutputStream {
public:
    virtual ~OutputStream() = default;
    // Writes every byte or fails; repeats partial writes itself.
    virtual Status write(const std::uint8_t* data, std::size_t size) = 0;
};

// The process's standard input and output, switched to binary mode on first
// use; after reserveStandardStreamsForFrames, the handles it set aside.
InputStream& standardInput();
OutputStream& standardOutput();

// Agent mode, before any module is loaded. Modules run inside this process
// and may print on standard output, read standard input or start programs
// that inherit both, and the frames travel there. So the frames keep private
// handles of their own, which no child process inherits (Windows: duplicates
// that are not inheritable, the originals made not inheritable too; POSIX:
// close-on-exec descriptors), and the process's standard input and output
// are pointed at the null device, both as the system holds them and as the
// C runtime does (Windows: the standard handles and descriptors 0 and 1 of
// msvcrt; POSIX: descriptors 0 and 1). A stream whose handle cannot be set
// aside stays where it is.
void reserveStandardStreamsForFrames();

}  // namespace quillon::platform
