// Windows refuses a port that another program has open by itself: the exclusive open says
// so, and there is nothing to search or to name.
#include "platform/Platform.h"

namespace Orvane::HardwareAPI::Platform {

struct HolderScan {};

std::shared_ptr<HolderScan> NewHolderScan() {
    return nullptr;
}

std::shared_ptr<HolderScan> UseHolderScan(std::shared_ptr<HolderScan>) {
    return nullptr;
}

std::string LastRefusal() {
    return {};
}

}  // namespace Orvane::HardwareAPI::Platform
