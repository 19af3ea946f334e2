// Placeholder until the sysfs table lands.
#include "Orvane/HardwareAPI/SerialDeviceProvider.h"

namespace Orvane::HardwareAPI {

std::unique_ptr<PortTable> SystemPortTable() { return nullptr; }

}  // namespace Orvane::HardwareAPI
