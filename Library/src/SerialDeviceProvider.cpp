// Placeholder until port listing lands.
#include "Orvane/HardwareAPI/SerialDeviceProvider.h"

namespace Orvane::HardwareAPI {

std::vector<SerialPortEntry> ListSerialPorts(PortTable&) { return {}; }
std::vector<SerialPortEntry> ListSerialPorts() { return {}; }

}  // namespace Orvane::HardwareAPI
