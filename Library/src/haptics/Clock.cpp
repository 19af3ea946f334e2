#include "Orvane/HardwareAPI/Clock.h"

#include "platform/Realtime.h"

namespace Orvane::HardwareAPI::Haptics {

std::int64_t MonotonicNs() {
    return Platform::MonotonicNs();
}

}  // namespace Orvane::HardwareAPI::Haptics
