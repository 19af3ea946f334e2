// Where the port list comes from: the system's table of serial devices behind an interface,
// so that tests and the fuzzer can hand the listing and detection a table of their own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Orvane/HardwareAPI/SerialDeviceProvider.h"

namespace Orvane::HardwareAPI {

// The system's table of serial devices, read the way the registry is read: open it,
// enumerate its values one index at a time, close it. Each value is a kernel device name
// (value name) and the port name that opens it (value data).
class PortTable {
public:
    static constexpr std::size_t kAreaSize = 260;  // name and data areas, in bytes
    static constexpr long kNoMoreItems = 259;
    static constexpr long kMoreData = 234;  // name or data does not fit

    virtual ~PortTable() = default;

    // 0 when the table is open, otherwise the system's error number.
    virtual long Open() = 0;
    // Fills name (name_size in: capacity, out: length without the terminating zero) and
    // data (data_size in: capacity, out: length) with value `index`. Returns 0,
    // kNoMoreItems past the last value, kMoreData when either does not fit, or an error.
    virtual long EnumValue(std::uint32_t index, char* name, std::uint32_t& name_size,
                           std::uint8_t* data, std::uint32_t& data_size) = 0;
    virtual void Close() = 0;
    // The table's location, as named in the error lines.
    virtual std::string Path() const = 0;
};

// The machine's own table (the platform's source).
std::unique_ptr<PortTable> SystemPortTable();

std::vector<SerialPortEntry> ListSerialPorts(PortTable& table);

// Detection over a given table, so a chosen set of ports can be probed.
std::vector<std::string> detect_varnix3s(PortTable& table);
std::vector<std::string> detect_handles(PortTable& table);
std::vector<std::string> detect_wired_handles(PortTable& table);
std::vector<std::string> detect_wireless_handles(PortTable& table);

}  // namespace Orvane::HardwareAPI
