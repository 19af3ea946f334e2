#include "platform/ZeroOnSignal.h"

namespace Orvane::HardwareAPI::Platform {

// Windows ends a process without POSIX signals; a console control handler and an unhandled
// exception filter could write the zero there the same way. Until then no port is guarded
// and the loops' own stop paths are the only ones that zero the arm.
int GuardPort(IO::PortHandle, const std::uint8_t*, std::size_t, int) {
    return -1;
}

void NoteZeroSent(int) {}

void UnguardPort(int) {}

bool BeginGuardedWrite() {
    return true;
}

void EndGuardedWrite() {}

}  // namespace Orvane::HardwareAPI::Platform
