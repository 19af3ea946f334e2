#include "platform/ZeroGuardProcess.h"

namespace Orvane::HardwareAPI::Platform {

// No helper process on Windows yet: a job object or a watching process could do the same.
// The loops start without one, as they did before.
bool StartZeroGuard(IO::PortHandle, bool, ZeroGuardProcess& guard, char*, std::size_t) {
    guard = {};
    return true;
}

void TellZeroSent(int) {}

void EndZeroGuard(ZeroGuardProcess& guard) {
    guard = {};
}

}  // namespace Orvane::HardwareAPI::Platform
