// Windows refuses a port that another program has open by itself: the exclusive open says
// so, and there is nothing to search or to name.
#include "platform/Platform.h"

namespace Orvane::HardwareAPI::Platform {

void BoundOpens(std::optional<std::chrono::steady_clock::time_point>) {}

std::string LastRefusal() {
    return {};
}

}  // namespace Orvane::HardwareAPI::Platform
