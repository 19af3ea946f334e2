// The port listing over the registry's table of serial devices. wine_harness.py writes
// the values each suite expects under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM.
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Orvane/HardwareAPI/Detection.h"
#include "Orvane/HardwareAPI/SerialDeviceProvider.h"
#include "WindowsTest.h"

namespace {

using Orvane::HardwareAPI::BluetoothSerial;
using Orvane::HardwareAPI::ListSerialPorts;
using Orvane::HardwareAPI::PortKind;
using Orvane::HardwareAPI::SerialPortEntry;
using Orvane::HardwareAPI::UsbSerial;
using Orvane::HardwareAPI::WiredSerial;
using OrvaneWinTest::StderrOf;

constexpr const char* kKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// The value names of the key in the order the registry enumerates them.
std::vector<std::string> EnumeratedValueNames() {
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return names;
    }
    for (DWORD index = 0;; ++index) {
        char name[1024] = {};
        DWORD size = sizeof name;
        if (RegEnumValueA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, size);
    }
    RegCloseKey(key);
    return names;
}

// RegistryExample: the table of a machine with an arm, a plain serial port, a Bluetooth
// port, a USB-to-UART bridge and a port of a driver the library does not know.
TEST(RegistryExample, ListsClassifiedPortsInRegistryOrder) {
    const std::map<std::string, std::pair<std::string, PortKind>> kExample = {
        {"\\Device\\USBSER000", {"COM3", UsbSerial}},
        {"\\Device\\Serial0", {"COM1", WiredSerial}},
        {"\\Device\\BthModem2", {"COM7", BluetoothSerial}},
        {"\\Device\\Silabser0", {"COM5", WiredSerial}},
    };
    const std::vector<std::string> names = EnumeratedValueNames();
    ASSERT_EQ(names.size(), 5u) << "the harness writes five values";
    std::vector<SerialPortEntry> expected;
    for (const std::string& name : names) {
        const auto it = kExample.find(name);
        if (it != kExample.end()) {
            expected.push_back({it->second.first, it->second.second});
        } else {
            EXPECT_EQ(name, "\\Device\\VSPort0");
        }
    }
    ASSERT_EQ(expected.size(), 4u);

    std::vector<SerialPortEntry> first, second;
    const std::string errors = StderrOf([&] {
        first = ListSerialPorts();
        second = ListSerialPorts();
    });
    EXPECT_EQ(errors, "");
    EXPECT_EQ(first, expected);
    EXPECT_EQ(second, first);
    for (const SerialPortEntry& entry : first) {
        EXPECT_EQ(entry.port.find('\0'), std::string::npos) << "terminating zero kept";
    }
}

// RegistryOversizedName: a value name of 300 characters among valid ones.
TEST(RegistryOversizedName, FailsTheWholeListing) {
    std::vector<SerialPortEntry> ports;
    const std::string errors = StderrOf([&] { ports = ListSerialPorts(); });
    EXPECT_TRUE(ports.empty());
    EXPECT_EQ(errors.rfind("[err] Library/src/SerialDeviceProvider:137> unable to enum values "
                           "for registry key: HARDWARE\\DEVICEMAP\\SERIALCOMM: [234] ",
                           0),
              0u)
        << errors;
    EXPECT_EQ(OrvaneWinTest::Occurrences(errors, "[err] "), 1u) << errors;
}

// RegistryAbsent: the key does not exist, as on a machine without serial ports.
TEST(RegistryAbsent, GivesNoPortsAndTheNotFoundLine) {
    const std::string kLine =
        "[err] Library/src/SerialDeviceProvider:115> unable to access registry key: "
        "HARDWARE\\DEVICEMAP\\SERIALCOMM: [2] ";
    std::vector<SerialPortEntry> ports;
    std::string errors = StderrOf([&] { ports = ListSerialPorts(); });
    EXPECT_TRUE(ports.empty());
    EXPECT_EQ(errors.rfind(kLine, 0), 0u) << errors;
    EXPECT_EQ(OrvaneWinTest::Occurrences(errors, "[err] "), 1u) << errors;

    std::vector<std::string> arms;
    errors = StderrOf([&] { arms = Orvane::HardwareAPI::detect_varnix3s(); });
    EXPECT_TRUE(arms.empty());
    EXPECT_EQ(errors.rfind(kLine, 0), 0u) << errors;
}

}  // namespace
