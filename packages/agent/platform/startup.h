// What the process settles about its own environment before anything else
// runs: the standard streams it writes to and how the system reports faults.
#pragma once

namespace quillon::platform {

// POSIX: opens the null device on each of descriptors 0-2 that is closed, so
// that a file opened later (the log) never takes a standard stream's number
// and receives reply frames. Windows: nothing; a missing standard handle
// stays missing and no file ever takes its place.
void ensureStandardStreams();

// Windows: no critical-error, fault or missing-file dialog for this process
// or the modules it loads; a host started hidden by a browser has no one to
// dismiss one. POSIX: nothing.
void suppressErrorDialogs();

}  // namespace quillon::platform
