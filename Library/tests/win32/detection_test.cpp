// Detection over the registry's table with scripted devices behind the ports
// (wine_harness.py): COM3 an arm of model 4, COM4 a device answering like an arm of
// model 3, COM5 a wired handle answering with its information, COM7 a wireless handle
// answering with a status message, COM8 a handle answering with an error response.
#include <set>
#include <string>
#include <vector>

#include "Orvane/HardwareAPI/Detection.h"
#include "Orvane/HardwareAPI/SerialDeviceProvider.h"
#include "WindowsTest.h"

namespace {

using namespace Orvane::HardwareAPI;
using Names = std::vector<std::string>;

TEST(Detection, FindsTheScriptedArmAndHandlesBehindRegistryEntries) {
    const std::vector<SerialPortEntry> listed = ListSerialPorts();
    // Nothing but the scripted ports may be probed.
    const std::set<std::pair<std::string, int>> kScripted = {{"COM3", UsbSerial},
                                                             {"COM4", UsbSerial},
                                                             {"COM5", WiredSerial},
                                                             {"COM7", BluetoothSerial},
                                                             {"COM8", WiredSerial}};
    std::set<std::pair<std::string, int>> seen;
    for (const SerialPortEntry& entry : listed) {
        seen.insert({entry.port, entry.kind});
    }
    ASSERT_EQ(seen, kScripted);
    ASSERT_EQ(listed.size(), kScripted.size());

    EXPECT_EQ(detect_varnix3s(), Names{"COM3"});

    Names handles;  // in the order of the listing
    for (const SerialPortEntry& entry : listed) {
        if (entry.port == "COM5" || entry.port == "COM7") {
            handles.push_back(entry.port);
        }
    }
    EXPECT_EQ(detect_handles(), handles);
    EXPECT_EQ(detect_wired_handles(), Names{"COM5"});
    EXPECT_EQ(detect_wireless_handles(), Names{"COM7"});
}

}  // namespace
