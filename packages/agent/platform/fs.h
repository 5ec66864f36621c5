// Environment, file system and clock. Paths are texts in the Windows form
// (backslashes); the POSIX stand-in turns backslashes into slashes only here,
// at the file-system boundary.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/bytes.h"
#include "common/error.h"

namespace quillon::platform {

// nullopt when the variable is not set; an empty text when it is set empty.
std::optional<std::string> getEnv(std::string_view name);

// The user's temporary folder without a trailing separator (a bare drive
// root keeps its backslash); empty when it cannot be determined.
// Windows: GetTempPath2W, else GetTempPathW. POSIX: $TMPDIR, else "/tmp".
std::string tempDirectory();

// Whether the entry at the path can be queried, following links; folders pass.
bool pathExists(std::string_view path);

// Whether the path names a regular file itself: false for a folder, for a
// link or junction (not followed; Windows: any reparse point) and for a path
// that cannot be queried.
bool isPlainFile(std::string_view path);

// Whether the path names a folder itself: false for a link or junction to
// one (not followed; Windows: any reparse point), for a file and for a path
// that cannot be queried.
bool isPlainFolder(std::string_view path);

// Whether two path texts are equal by the rule Windows file names follow:
// letter case aside. Windows: CompareStringOrdinal ignoring case; POSIX,
// whose paths stand in for Windows ones here: ASCII letters folded.
bool samePathIgnoringCase(std::string_view a, std::string_view b);

// The path made absolute, lexically, as Windows would take it: joined to
// the current folder unless it is already absolute, "." and ".." elements
// resolved, links not followed. Windows: GetFullPathNameW. POSIX: a path
// that does not start with a separator is joined to the current folder
// (getcwd), then normalised as normalizePath does.
Result<std::string> absolutePath(std::string_view path);

Status createDirectories(std::string_view path);                            // mode 0755
// Gives a file another name, in its folder or another of the same volume;
// fails when an entry of the new name exists, which it never replaces.
// Windows: MoveFileExW without flags, which renames a running program too.
// POSIX: renameat2 with RENAME_NOREPLACE, or, where the file system lacks
// that, a link of the new name and then the old name removed.
Status renameNoReplace(std::string_view from, std::string_view to);

Result<Bytes> readWholeFile(std::string_view path);
// Puts a file of the data at the path in one step: an existing file there is
// either replaced whole or, on any failure, left exactly as it was, and no
// partial file stays behind. The data goes to "<path>.new-<process id>" in
// the same folder first, is flushed to the disk, then moved over the path.
// A file at the path that cannot be opened for writing (a running program,
// a read-only file) is refused before anything is written, with the open's
// error. Failures read "<operation> <path>: <system message>", naming the
// path given, never the temporary one. Windows: CreateFileW (CREATE_NEW),
// FlushFileBuffers, MoveFileExW with MOVEFILE_REPLACE_EXISTING and
// MOVEFILE_WRITE_THROUGH. POSIX: open with O_EXCL, fsync, rename.
Status replaceWholeFile(std::string_view path, ByteView data, unsigned mode);
Status removeFile(std::string_view path);
Result<std::string> executablePath();

// A file opened for appending, shared for reading, writing and deletion with
// other processes. Each write is one append of the whole buffer; results ignored.
class AppendFile {
public:
    virtual ~AppendFile() = default;
    virtual void write(std::string_view bytes) = 0;
};
// Fails, without waiting, for anything but a regular file (a disk file on
// Windows): a pipe, a device.
Result<std::unique_ptr<AppendFile>> openAppendShared(std::string_view path);  // mode 0644

struct LocalTime {
    int year, month, day, hour, minute, second;
};
LocalTime localTimeNow();

}  // namespace quillon::platform
