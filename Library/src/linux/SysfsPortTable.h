// The table of serial devices on Linux, built from the kernel's tty class folder.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "PortTable.h"

namespace Orvane::HardwareAPI::Platform {

// Every tty that stands for a serial port becomes one value: the value name is the kernel
// device name the driver gives it (\Device\USBSER000 for the first USB modem port,
// \Device\Silabser0, \Device\Serial0, \Device\BthModem0, or \Device\<driver>0 for any other
// driver), the value data the device node that opens it, stored with a terminating zero.
// Values come in natural name order (ttyACM2 before ttyACM10).
//
// A port of the 8250 family exists whether or not a UART answers behind it; one without
// (type 0) is left out. Where its type attribute cannot be read (a user other than root, on
// older kernels), the driver is asked instead.
class SysfsPortTable : public PortTable {
public:
    static constexpr const char* kDefaultClassFolder = "/sys/class/tty";
    static constexpr const char* kDefaultDeviceFolder = "/dev";

    // The UART type the driver gives for the port at a device node (0: none), or -1 when it
    // cannot be asked.
    using UartQuery = std::function<int(const std::string& node)>;
    static int AskDriver(const std::string& node);

    explicit SysfsPortTable(std::string class_folder = kDefaultClassFolder,
                            std::string device_folder = kDefaultDeviceFolder,
                            UartQuery uart_type = AskDriver);

    // Reads the class folder; the values stay as read until Close or the next Open.
    long Open() override;
    long EnumValue(std::uint32_t index, char* name, std::uint32_t& name_size, std::uint8_t* data,
                   std::uint32_t& data_size) override;
    void Close() override;
    std::string Path() const override { return class_folder_; }

private:
    struct Value {
        std::string name;
        std::string data;
    };

    std::string class_folder_;
    std::string device_folder_;
    UartQuery uart_type_;
    std::vector<Value> values_;
};

}  // namespace Orvane::HardwareAPI::Platform
