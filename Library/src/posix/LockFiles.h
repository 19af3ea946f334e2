// The lock files serial programs take in the lock folder by convention: LCK..<name> with
// the holder's pid in ASCII (or as four binary bytes from older programs).
#pragma once

#include <string>

namespace Orvane::HardwareAPI::Platform {

inline constexpr const char* kLockFolder = "/var/lock";

enum class LockOutcome {
    Taken,     // the file is this port's now; ReleaseLockFile removes it
    Held,      // a live process holds it, or it cannot be read: the port is someone else's
    NotTaken,  // no lock file could be made (no folder, no right to write, no name)
};

struct LockResult {
    LockOutcome outcome = LockOutcome::NotTaken;
    // Held: who holds it, as far as that can be known. NotTaken: why there is no lock
    // file, when the folder is the reason ("" when the port has no lock file name).
    std::string text;
};

// Takes the lock file for the port behind `fd` atomically: the file appears with its pid
// in it or not at all. An existing file is read first, whether or not this process may
// write the folder: one naming a live process, one that cannot be read and a directory in
// its place refuse the port; one that names a dead process, no process (garbage, empty,
// pid 0) or this process without its having the port open is replaced where the folder
// allows. A refusal says so when the folder cannot be written.
LockResult TakeLockFile(int fd, const char* lock_folder = kLockFolder);

// Removes the lock file that TakeLockFile took for `fd`, if any; called before `fd` closes.
void ReleaseLockFile(int fd);

}  // namespace Orvane::HardwareAPI::Platform
