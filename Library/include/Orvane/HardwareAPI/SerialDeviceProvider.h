// Lists the serial ports that can carry a device and sorts them by the driver behind them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Orvane::HardwareAPI {

enum PortKind : std::int32_t {
    UsbSerial = 1,        // where arms are looked for
    WiredSerial = 2,      // plain serial ports and USB-to-UART bridges: wired handles
    BluetoothSerial = 3,  // wireless handles
};

struct SerialPortEntry {
    std::string port;
    PortKind kind;

    bool operator==(const SerialPortEntry&) const = default;
};

std::vector<SerialPortEntry> ListSerialPorts();

}  // namespace Orvane::HardwareAPI
