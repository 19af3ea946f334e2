#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "Orvane/HardwareAPI/Device.h"
#include "Orvane/HardwareAPI/SerialDeviceProvider.h"
#include "SystemErrorText.h"
#include "linux/SysfsPortTable.h"

namespace {

namespace fs = std::filesystem;
using Orvane::HardwareAPI::BluetoothSerial;
using Orvane::HardwareAPI::ListSerialPorts;
using Orvane::HardwareAPI::PortTable;
using Orvane::HardwareAPI::SerialPortEntry;
using Orvane::HardwareAPI::SystemErrorText;
using Orvane::HardwareAPI::UsbSerial;
using Orvane::HardwareAPI::WiredSerial;
using Orvane::HardwareAPI::Platform::SysfsPortTable;

// A tty class folder laid out as the kernel does it, in a temporary folder: each tty is a
// folder under its device (devices/<device>/tty/<name>) linked from class/<name>, with a
// relative `device` link back up; drivers and buses are links to drivers/ and bus/.
class FakeSysfs {
public:
    FakeSysfs() {
        std::string pattern = (fs::temp_directory_path() / "orvane-sysfs-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        root_ = pattern;
        fs::create_directories(root_ / "class");
    }
    ~FakeSysfs() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    std::string ClassFolder() const { return (root_ / "class").string(); }
    const fs::path& Root() const { return root_; }

    // A device folder, bound to `driver` and on `bus` when they are given.
    void Device(const std::string& device, const std::string& driver, const std::string& bus = "") {
        const fs::path dir = root_ / "devices" / device;
        fs::create_directories(dir);
        if (!driver.empty()) {
            const fs::path target =
                root_ / "bus" / (bus.empty() ? "platform" : bus) / "drivers" / driver;
            fs::create_directories(target);
            fs::create_symlink(target, dir / "driver");
        }
        if (!bus.empty()) {
            fs::create_directories(root_ / "bus" / bus);
            fs::create_symlink(root_ / "bus" / bus, dir / "subsystem");
        }
    }

    // A tty under `device` ("" for one without a device link), with a `type` file if given.
    void Tty(const std::string& name, const std::string& device, const char* type = nullptr) {
        const fs::path dir =
            root_ / "devices" / (device.empty() ? "virtual" : device) / "tty" / name;
        fs::create_directories(dir);
        if (!device.empty()) {
            fs::create_symlink("../..", dir / "device");
        }
        if (type != nullptr) {
            std::ofstream(dir / "type") << type;
        }
        fs::create_symlink(dir, root_ / "class" / name);
    }

private:
    fs::path root_;
};

using Values = std::vector<std::pair<std::string, std::string>>;

Values ReadAll(PortTable& table) {
    Values out;
    EXPECT_EQ(table.Open(), 0);
    for (std::uint32_t i = 0;; ++i) {
        char name[PortTable::kAreaSize] = {};
        std::uint8_t data[PortTable::kAreaSize] = {};
        std::uint32_t name_size = sizeof name;
        std::uint32_t data_size = sizeof data;
        const long status = table.EnumValue(i, name, name_size, data, data_size);
        if (status == PortTable::kNoMoreItems) {
            break;
        }
        EXPECT_EQ(status, 0);
        if (status != 0) {
            break;
        }
        // The data is stored with its terminating zero.
        EXPECT_GT(data_size, 0u);
        EXPECT_EQ(data[data_size - 1], 0);
        EXPECT_EQ(std::string(name).size(), name_size);
        out.emplace_back(std::string(name, name_size),
                         std::string(reinterpret_cast<char*>(data), data_size - 1));
    }
    table.Close();
    return out;
}

// One tree for every test that only reads it: building it takes a while on slow disks.
class SysfsTable : public testing::Test {
protected:
    static void SetUpTestSuite() {
        sysfs_ = new FakeSysfs;
        Build(*sysfs_);
    }
    static void TearDownTestSuite() {
        delete sysfs_;
        sysfs_ = nullptr;
    }

    static void Build(FakeSysfs& sysfs) {
        // USB modems, out of name order on purpose.
        for (const char* iface : {"usb1/1-1/1-1:1.0", "usb1/1-2/1-2:1.0", "usb1/1-3/1-3:1.0"}) {
            sysfs.Device(iface, "cdc_acm", "usb");
        }
        sysfs.Tty("ttyACM10", "usb1/1-3/1-3:1.0");
        sysfs.Tty("ttyACM0", "usb1/1-1/1-1:1.0");
        sysfs.Tty("ttyACM2", "usb1/1-2/1-2:1.0");
        // USB-to-UART bridges: the tty sits under the usb-serial port device.
        sysfs.Device("usb1/1-4/1-4:1.0", "", "usb");
        sysfs.Device("usb1/1-4/1-4:1.0/ttyUSB0", "cp210x", "usb-serial");
        sysfs.Tty("ttyUSB0", "usb1/1-4/1-4:1.0/ttyUSB0");
        sysfs.Device("usb1/1-5/1-5:1.0/ttyUSB1", "ftdi_sio", "usb-serial");
        sysfs.Tty("ttyUSB1", "usb1/1-5/1-5:1.0/ttyUSB1");
        // Legacy 8250 ports: one with a UART, one without.
        sysfs.Device("platform/serial8250", "serial8250");
        sysfs.Tty("ttyS0", "platform/serial8250", "4\n");
        sysfs.Tty("ttyS1", "platform/serial8250", "0\n");
        // Newer kernels: port and controller devices of the serial-base bus in between.
        sysfs.Device("pnp0/00:04", "serial", "pnp");
        sysfs.Device("pnp0/00:04/00:04:0", "ctrl", "serial-base");
        sysfs.Device("pnp0/00:04/00:04:0/00:04:0.0", "port", "serial-base");
        sysfs.Tty("ttyS4", "pnp0/00:04/00:04:0/00:04:0.0", "4\n");
        sysfs.Device("pnp0/00:05", "serial", "pnp");
        sysfs.Device("pnp0/00:05/00:05:0", "ctrl", "serial-base");
        sysfs.Device("pnp0/00:05/00:05:0/00:05:0.0", "port", "serial-base");
        sysfs.Tty("ttyS5", "pnp0/00:05/00:05:0/00:05:0.0", "0\n");
        // An on-board UART.
        sysfs.Device("platform/fe201000.serial", "uart-pl011", "amba");
        sysfs.Tty("ttyAMA0", "platform/fe201000.serial");
        // Bound Bluetooth ports have no device link.
        sysfs.Tty("rfcomm1", "");
        sysfs.Tty("rfcomm0", "");
        // Not ports: no device link, or a device without any driver.
        sysfs.Tty("tty0", "");
        sysfs.Tty("console", "");
        sysfs.Tty("ptmx", "");
        sysfs.Device("virtual/unbound", "");
        sysfs.Tty("ttyX0", "virtual/unbound");
        // Only the serial-base bus has a driver: nothing stands behind the port.
        sysfs.Device("orphan/p:0/p:0.0", "port", "serial-base");
        sysfs.Tty("ttyS9", "orphan/p:0/p:0.0", "4\n");
    }

    static inline FakeSysfs* sysfs_ = nullptr;
};

TEST_F(SysfsTable, ValuesInNaturalNameOrderNamedByDriver) {
    SysfsPortTable table(sysfs_->ClassFolder(), "/dev");
    const Values expected{
        {"\\Device\\BthModem0", "/dev/rfcomm0"},  {"\\Device\\BthModem1", "/dev/rfcomm1"},
        {"\\Device\\USBSER000", "/dev/ttyACM0"},  {"\\Device\\USBSER001", "/dev/ttyACM2"},
        {"\\Device\\USBSER002", "/dev/ttyACM10"}, {"\\Device\\Serial0", "/dev/ttyAMA0"},
        {"\\Device\\Serial1", "/dev/ttyS0"},      {"\\Device\\Serial2", "/dev/ttyS4"},
        {"\\Device\\Silabser0", "/dev/ttyUSB0"},  {"\\Device\\ftdi_sio0", "/dev/ttyUSB1"},
    };
    EXPECT_EQ(ReadAll(table), expected);
    EXPECT_EQ(table.Path(), sysfs_->ClassFolder());
}

TEST_F(SysfsTable, ListsPortsByKind) {
    SysfsPortTable table(sysfs_->ClassFolder(), "/dev/");
    testing::internal::CaptureStderr();
    const auto ports = ListSerialPorts(table);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    const std::vector<SerialPortEntry> expected{
        {"/dev/rfcomm0", BluetoothSerial}, {"/dev/rfcomm1", BluetoothSerial},
        {"/dev/ttyACM0", UsbSerial},       {"/dev/ttyACM2", UsbSerial},
        {"/dev/ttyACM10", UsbSerial},      {"/dev/ttyAMA0", WiredSerial},
        {"/dev/ttyS0", WiredSerial},       {"/dev/ttyS4", WiredSerial},
        {"/dev/ttyUSB0", WiredSerial},
    };
    EXPECT_EQ(ports, expected);
}

TEST(SysfsPortTableOpen, EveryOpenReadsTheFolderAfresh) {
    FakeSysfs sysfs;
    sysfs.Device("usb1/1-1/1-1:1.0", "cdc_acm", "usb");
    sysfs.Tty("ttyACM0", "usb1/1-1/1-1:1.0");
    sysfs.Device("usb1/1-2/1-2:1.0", "cdc_acm", "usb");
    sysfs.Tty("ttyACM2", "usb1/1-2/1-2:1.0");
    SysfsPortTable table(sysfs.ClassFolder(), "/dev");
    EXPECT_EQ(ReadAll(table).size(), 2u);
    sysfs.Device("usb1/1-6/1-6:1.0", "cdc_acm", "usb");
    sysfs.Tty("ttyACM1", "usb1/1-6/1-6:1.0");
    const Values expected{{"\\Device\\USBSER000", "/dev/ttyACM0"},
                          {"\\Device\\USBSER001", "/dev/ttyACM1"},
                          {"\\Device\\USBSER002", "/dev/ttyACM2"}};
    EXPECT_EQ(ReadAll(table), expected);
}

TEST_F(SysfsTable, AreasTooSmallGiveMoreDataAndTheEndGivesNoMoreItems) {
    SysfsPortTable table(sysfs_->ClassFolder(), "/dev");
    ASSERT_EQ(table.Open(), 0);
    char name[PortTable::kAreaSize] = {};
    std::uint8_t data[PortTable::kAreaSize] = {};
    // Value 0 is \Device\BthModem0 (17 characters) = /dev/rfcomm0 (12 bytes and a zero).
    std::uint32_t name_size = 17;
    std::uint32_t data_size = sizeof data;
    EXPECT_EQ(table.EnumValue(0, name, name_size, data, data_size), PortTable::kMoreData);
    name_size = 18;
    data_size = 12;
    EXPECT_EQ(table.EnumValue(0, name, name_size, data, data_size), PortTable::kMoreData);
    data_size = 13;
    EXPECT_EQ(table.EnumValue(0, name, name_size, data, data_size), 0);
    EXPECT_EQ(name_size, 17u);
    EXPECT_EQ(data_size, 13u);
    for (std::uint32_t index : {10u, 11u, 1000u}) {
        name_size = data_size = PortTable::kAreaSize;
        EXPECT_EQ(table.EnumValue(index, name, name_size, data, data_size),
                  PortTable::kNoMoreItems);
    }
    table.Close();
}

TEST_F(SysfsTable, DeviceNodeNamesTooLongFailTheListing) {
    const std::string folder = "/" + std::string(250, 'd');
    SysfsPortTable table(sysfs_->ClassFolder(), folder);
    testing::internal::CaptureStderr();
    const auto ports = ListSerialPorts(table);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[err] Library/src/SerialDeviceProvider:137> unable to enum values for registry "
              "key: " +
                  sysfs_->ClassFolder() + ": [234] " + SystemErrorText(234) + "\n");
    EXPECT_TRUE(ports.empty());
}

// A user other than root cannot read the type files of older kernels: the driver says which
// ports have no UART behind them, and a port whose driver cannot be asked stays listed.
TEST(SysfsPortTableOpen, PhantomPortsLeftOutWhenTheirTypeCannotBeRead) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to read the table as another user";
    }
    FakeSysfs sysfs;
    for (const char* tty : {"ttyS0", "ttyS1", "ttyS2"}) {
        sysfs.Device(std::string("serial8250/") + tty, "serial8250");
        sysfs.Tty(tty, std::string("serial8250/") + tty, "4\n");
        chmod((sysfs.Root() / "devices" / "serial8250" / tty / "tty" / tty / "type").c_str(), 0400);
    }
    fs::permissions(sysfs.Root(), fs::perms::owner_all | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read |
                                      fs::perms::others_exec);
    const auto driver = [](const std::string& node) {
        return node == "/dev/ttyS0" ? 4 : node == "/dev/ttyS1" ? 0 : -1;
    };
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(99);
        }
        SysfsPortTable table(sysfs.ClassFolder(), "/dev", driver);
        std::string listed;
        for (const auto& [name, node] : ReadAll(table)) {
            listed += node + " ";
        }
        _exit(write(report[1], listed.data(), listed.size()) >= 0 ? 0 : 2);
    }
    close(report[1]);
    char text[256] = {};
    (void)!read(report[0], text, sizeof text - 1);
    close(report[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(std::string(text), "/dev/ttyS0 /dev/ttyS2 ");
    // Where the type file can be read it decides, and the driver is not asked.
    SysfsPortTable as_root(sysfs.ClassFolder(), "/dev", [](const std::string&) { return 0; });
    EXPECT_EQ(ReadAll(as_root).size(), 3u);
}

TEST(SysfsPortTableOpen, MissingFolderIsNotFound) {
    FakeSysfs sysfs;
    const std::string missing = (sysfs.Root() / "no-such-class").string();
    SysfsPortTable table(missing, "/dev");
    EXPECT_EQ(table.Open(), 2);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(ListSerialPorts(table).empty());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[err] Library/src/SerialDeviceProvider:115> unable to access registry key: " +
                  missing + ": [2] No such file or directory\n");
}

}  // namespace
