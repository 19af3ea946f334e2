#include "platform/ZeroOnSignal.h"

namespace Orvane::HardwareAPI::Platform {

int GuardPort(IO::PortHandle, const std::uint8_t*, std::size_t) {
    return -1;
}

void UnguardPort(int) {}

}  // namespace Orvane::HardwareAPI::Platform
