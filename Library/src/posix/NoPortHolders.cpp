// Systems without a process file system: nothing beyond flock and TIOCEXCL can be seen.
#include "posix/PortHolders.h"

namespace Orvane::HardwareAPI::Platform {

bool HeldElsewhere(int, const char*) {
    return false;
}

bool IsPseudoTerminal(int) {
    return false;
}

void TakeLockFile(int, const char*) {}

void ReleaseLockFile(int) {}

}  // namespace Orvane::HardwareAPI::Platform
