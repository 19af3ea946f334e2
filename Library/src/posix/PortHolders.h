// Other programs' claims on a serial port. flock and TIOCEXCL keep out only programs that
// use them too (and TIOCEXCL not root), so an exclusive open also takes the port's lock
// file in the lock folder and looks for processes that have the port open.
#pragma once

#include <sys/types.h>

#include <string>

namespace Orvane::HardwareAPI::Platform {

// Where serial programs put their lock files (LCK..<name>, the holder's pid in ASCII, or
// as four binary bytes from older programs).
inline constexpr const char* kLockFolder = "/var/lock";

enum class LockOutcome {
    Taken,     // the file is this port's now; ReleaseLockFile removes it
    Held,      // a live process holds it, or it cannot be read: the port is someone else's
    NotTaken,  // no lock file can be made here (no folder, no right to write, no name)
};

struct LockResult {
    LockOutcome outcome = LockOutcome::NotTaken;
    std::string holder;  // for Held: who holds it, as far as that can be known
};

// Takes the lock file for the port behind `fd` atomically: the file appears with its pid
// in it or not at all. A file that names a dead process, or no process (garbage, empty,
// pid 0), is replaced.
LockResult TakeLockFile(int fd, const char* lock_folder = kLockFolder);

// Removes the lock file that TakeLockFile took for `fd`, if any; called before `fd` closes.
void ReleaseLockFile(int fd);

// Whether a process other than this one has the terminal behind `fd` open, in any of its
// threads. Files that are not terminals are never held. A pseudo-terminal's slave held by
// the process that holds its master is the device end of the line, not another user of the
// port. A process seen holding the port is looked at again for a short while before it
// counts: an opener of this library that lost the port's flock lets go at once.
bool HeldElsewhere(int fd);

// Whether `fd` is the slave side of a pseudo-terminal.
bool IsPseudoTerminal(int fd);

}  // namespace Orvane::HardwareAPI::Platform
