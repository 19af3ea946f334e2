// Other programs' claims on a serial port. flock and TIOCEXCL keep out only programs that
// use them too (and TIOCEXCL not root), so an exclusive open also looks for processes that
// have the port open and for the lock files that serial programs leave in the lock folder.
#pragma once

namespace Orvane::HardwareAPI::Platform {

// Where serial programs put their lock files (LCK..<name>, the holder's pid in ASCII).
inline constexpr const char* kLockFolder = "/var/lock";

// Whether a process other than this one has the terminal behind `fd` open, or holds its lock
// file in `lock_folder`. A lock file whose process is gone is removed on the way. Files that
// are not terminals are never held. A pseudo-terminal's slave held by the process that holds
// its master is the device end of the line, not another user of the port.
bool HeldElsewhere(int fd, const char* lock_folder = kLockFolder);

// Whether `fd` is the slave side of a pseudo-terminal.
bool IsPseudoTerminal(int fd);

// Takes the lock file for the port behind `fd`; nothing where the folder cannot be written.
void TakeLockFile(int fd, const char* lock_folder = kLockFolder);

// Removes the lock file that TakeLockFile took for `fd`, if any; called before `fd` closes.
void ReleaseLockFile(int fd);

}  // namespace Orvane::HardwareAPI::Platform
