// Other programs' claims on a serial port. flock and TIOCEXCL keep out only programs that
// use them too (and TIOCEXCL not root), so an exclusive open also takes the port's lock
// file (posix/LockFiles.h) and looks for processes that have the port open.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace Orvane::HardwareAPI::Platform {

enum class Holders {
    None,       // nobody else has the port open, as far as the system shows
    Some,       // another process has it open
    Unchecked,  // the look could not be finished by its deadline
};

// Whether a process other than this one has the terminal behind `fd` open, in any of its
// threads, directly or as its controlling terminal through /dev/tty. Files that are not
// terminals are never held. A pseudo-terminal's slave held by the process that holds its
// master is the device end of the line, not another user of the port. A process seen
// holding the port is looked at again for a short while before it counts: an opener of this
// library that lost the port's flock lets go at once. The look ends by `deadline`.
Holders HoldersOf(int fd, std::chrono::steady_clock::time_point deadline =
                              std::chrono::steady_clock::time_point::max());

// Whether `fd` is the slave side of a pseudo-terminal.
bool IsPseudoTerminal(int fd);

// The path of the device file behind `fd`; empty when unknown.
std::string DevicePath(int fd);

// The name of the program that process `pid` runs; empty when unknown.
std::string ProcessName(pid_t pid);

}  // namespace Orvane::HardwareAPI::Platform
