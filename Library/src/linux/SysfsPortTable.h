// The table of serial devices on Linux, built from the kernel's tty class folder.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "Orvane/HardwareAPI/SerialDeviceProvider.h"

namespace Orvane::HardwareAPI::Platform {

// Every tty that stands for a serial port becomes one value: the value name is the kernel
// device name the driver gives it (\Device\USBSER000 for the first USB modem port,
// \Device\Silabser0, \Device\Serial0, \Device\BthModem0, or \Device\<driver>0 for any other
// driver), the value data the device node that opens it, stored with a terminating zero.
// Values come in natural name order (ttyACM2 before ttyACM10).
class SysfsPortTable : public PortTable {
public:
    static constexpr const char* kDefaultClassFolder = "/sys/class/tty";
    static constexpr const char* kDefaultDeviceFolder = "/dev";

    explicit SysfsPortTable(std::string class_folder = kDefaultClassFolder,
                            std::string device_folder = kDefaultDeviceFolder);

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
    std::vector<Value> values_;
};

}  // namespace Orvane::HardwareAPI::Platform
