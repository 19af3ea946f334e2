// Lists the serial ports of the system's table of serial devices and sorts them by kind.
// The table's source is the platform's; reading and classifying it is the same everywhere.
#include "PortTable.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "ErrorLine.h"

namespace Orvane::HardwareAPI {
namespace {

constexpr const char* kSource = "Library/src/SerialDeviceProvider";
constexpr unsigned kOpenLine = 115;
constexpr unsigned kEnumLine = 137;

// Kernel device name texts, tried in this order; the first one found decides the kind.
struct Classification {
    std::string_view text;
    PortKind kind;
};
constexpr std::array<Classification, 4> kClassifications{{
    {"\\USBSER", UsbSerial},
    {"\\Silabser", WiredSerial},
    {"\\Serial", WiredSerial},
    {"\\BthModem", BluetoothSerial},
}};

bool Classify(std::string_view value_name, PortKind& kind) {
    for (const Classification& c : kClassifications) {
        if (value_name.find(c.text) != std::string_view::npos) {
            kind = c.kind;
            return true;
        }
    }
    return false;
}

// Holds the table open for the length of one listing, whatever way the listing ends.
class OpenTable {
public:
    explicit OpenTable(PortTable& table) : table_(table) {}
    OpenTable(const OpenTable&) = delete;
    OpenTable& operator=(const OpenTable&) = delete;
    ~OpenTable() { table_.Close(); }

private:
    PortTable& table_;
};

}  // namespace

std::vector<SerialPortEntry> ListSerialPorts(PortTable& table) {
    const long opened = table.Open();
    if (opened != 0) {
        PrintErrorLine(kSource, kOpenLine, "unable to access registry key: " + table.Path(),
                       static_cast<std::uint32_t>(opened));
        return {};
    }
    const OpenTable guard(table);

    std::vector<SerialPortEntry> ports;
    std::array<char, PortTable::kAreaSize> name{};
    std::array<std::uint8_t, PortTable::kAreaSize> data{};
    for (std::uint32_t index = 0;; ++index) {
        name.fill(0);
        data.fill(0);
        std::uint32_t name_size = PortTable::kAreaSize;
        std::uint32_t data_size = PortTable::kAreaSize;
        const long status = table.EnumValue(index, name.data(), name_size, data.data(), data_size);
        if (status == PortTable::kNoMoreItems) {
            break;
        }
        if (status != 0) {
            PrintErrorLine(kSource, kEnumLine,
                           "unable to enum values for registry key: " + table.Path(),
                           static_cast<std::uint32_t>(status));
            return {};
        }

        // A source that reports more than its areas hold is not trusted past their end.
        name_size = std::min<std::uint32_t>(name_size, PortTable::kAreaSize);
        data_size = std::min<std::uint32_t>(data_size, PortTable::kAreaSize);
        const std::string_view value_name(name.data(), name_size);
        if (data_size > 0 && data[data_size - 1] == 0) {
            --data_size;  // stored with its terminating zero
        }

        PortKind kind{};
        if (Classify(value_name, kind)) {
            ports.push_back(
                {std::string(reinterpret_cast<const char*>(data.data()), data_size), kind});
        }
    }
    return ports;
}

std::vector<SerialPortEntry> ListSerialPorts() {
    const std::unique_ptr<PortTable> table = SystemPortTable();
    return table ? ListSerialPorts(*table) : std::vector<SerialPortEntry>{};
}

}  // namespace Orvane::HardwareAPI
