// The table of serial devices read from the kernel's tty class folder. Each entry there is
// one tty; the ones that stand for a serial port are named by the driver behind them.
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string_view>

#include "linux/SysfsPortTable.h"

namespace Orvane::HardwareAPI {
namespace Platform {
namespace {

constexpr std::string_view kBluetoothPrefix = "rfcomm";
// Kernels from 6.5 on put a port device of this bus between a tty and its UART driver.
constexpr std::string_view kSerialBaseBus = "serial-base";

// Drivers of the 8250 family. Their ports exist whether or not a UART answers behind them;
// an absent UART reads back as port type 0.
bool Is8250Family(std::string_view driver) {
    static constexpr std::array<std::string_view, 8> kNames{
        "serial8250",  "serial",           "dw-apb-uart", "of_serial",
        "exar_serial", "bcm2835-aux-uart", "omap8250",    "lpc18xx-uart"};
    return driver.starts_with("8250") ||
           std::find(kNames.begin(), kNames.end(), driver) != kNames.end();
}

// UART drivers of systems on a chip: plain serial ports like the 8250 family.
bool IsOnBoardUart(std::string_view driver) {
    static constexpr std::array<std::string_view, 20> kNames{
        "uart-pl011",       "uart-pl010", "imx-uart",      "msm_serial",   "serial-tegra",
        "fsl-lpuart",       "sh-sci",     "meson_uart",    "stm32-usart",  "atmel_usart_serial",
        "xuartps",          "uartlite",   "sifive-serial", "samsung-uart", "mvebu-uart",
        "qcom_geni_serial", "mxs-auart",  "pxa2xx-uart",   "omap_uart",    "ar933x-uart"};
    return std::find(kNames.begin(), kNames.end(), driver) != kNames.end();
}

// Natural order: digit runs compare by their value, so ttyACM2 comes before ttyACM10.
// Names that only differ in leading zeros fall back to plain byte order.
bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            std::size_t ie = i;
            std::size_t je = j;
            while (ie < a.size() && digit(a[ie])) {
                ++ie;
            }
            while (je < b.size() && digit(b[je])) {
                ++je;
            }
            std::size_t is = i;
            std::size_t js = j;
            while (is + 1 < ie && a[is] == '0') {
                ++is;
            }
            while (js + 1 < je && b[js] == '0') {
                ++js;
            }
            const std::string_view na(a.data() + is, ie - is);
            const std::string_view nb(b.data() + js, je - js);
            if (na.size() != nb.size()) {
                return na.size() < nb.size();
            }
            if (na != nb) {
                return na < nb;
            }
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j]) {
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        }
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size()) {
        return j < b.size();
    }
    return a < b;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// The last component of the target of the symbolic link at `path`, or "" when there is none.
std::string LinkTargetName(const std::string& path) {
    std::array<char, PATH_MAX> target{};
    const ssize_t n = readlink(path.c_str(), target.data(), target.size() - 1);
    if (n <= 0) {
        return {};
    }
    std::string_view t(target.data(), static_cast<std::size_t>(n));
    while (t.size() > 1 && t.back() == '/') {
        t.remove_suffix(1);
    }
    const std::size_t slash = t.rfind('/');
    return std::string(slash == std::string_view::npos ? t : t.substr(slash + 1));
}

// The first driver met walking up from the tty's device, stepping over the serial-base
// bus, or "" when no device on the way has one.
std::string DriverOf(const std::string& entry) {
    char resolved[PATH_MAX];
    if (realpath((entry + "/device").c_str(), resolved) == nullptr) {
        return {};
    }
    std::string dir = resolved;
    while (!dir.empty() && dir != "/") {
        if (LinkTargetName(dir + "/subsystem") != kSerialBaseBus) {
            std::string driver = LinkTargetName(dir + "/driver");
            if (!driver.empty()) {
                return driver;
            }
        }
        const std::size_t slash = dir.rfind('/');
        dir.resize(slash == std::string::npos ? 0 : slash);
    }
    return {};
}

enum class Uart { Present, Absent, Unknown };

// What the port's type file says: 0 is no UART behind the port. Unknown when the file
// cannot be read, which older kernels allow only root.
Uart UartFromTypeFile(const std::string& entry) {
    const int fd = open((entry + "/type").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? Uart::Present : Uart::Unknown;  // no file: nothing says absent
    }
    char text[32] = {};
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n < 0) {
        return Uart::Unknown;
    }
    char* end = nullptr;
    const long type = std::strtol(text, &end, 10);
    return n > 0 && end != text && type == 0 ? Uart::Absent : Uart::Present;
}

// True when nothing answers behind the port: its type file, or else its driver, says so.
bool HasNoUart(const std::string& entry, const std::string& node,
               const SysfsPortTable::UartQuery& ask) {
    switch (UartFromTypeFile(entry)) {
        case Uart::Absent:
            return true;
        case Uart::Present:
            return false;
        case Uart::Unknown:
            break;
    }
    return ask && ask(node) == 0;  // a driver that cannot be asked leaves the port listed
}

// The name the driver gives its ports in the table, before the per-prefix index.
std::string PrefixFor(const std::string& tty, const std::string& entry, const std::string& node,
                      const SysfsPortTable::UartQuery& ask) {
    if (std::string_view(tty).starts_with(kBluetoothPrefix)) {
        return "BthModem";
    }
    if (!Exists(entry + "/device")) {
        return {};  // not a port: virtual consoles, pseudo-terminal masters and the like
    }
    const std::string driver = DriverOf(entry);
    if (driver.empty()) {
        return {};
    }
    if (driver == "cdc_acm") {
        return "USBSER";
    }
    if (driver == "cp210x") {
        return "Silabser";
    }
    if (Is8250Family(driver)) {
        return HasNoUart(entry, node, ask) ? std::string() : "Serial";
    }
    if (IsOnBoardUart(driver)) {
        return "Serial";
    }
    return driver;
}

std::string ValueName(const std::string& prefix, unsigned index) {
    std::string number = std::to_string(index);
    if (prefix == "USBSER" && number.size() < 3) {
        number.insert(0, 3 - number.size(), '0');
    }
    return "\\Device\\" + prefix + number;
}

}  // namespace

// A non-blocking open sets nothing on the line and waits for no carrier; the driver's
// record of the port says whether a UART was found behind it. A port that fails to open
// for want of one (EIO) has none either.
int SysfsPortTable::AskDriver(const std::string& node) {
    const int fd = open(node.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == EIO ? 0 : -1;
    }
    serial_struct info{};
    const int type = ioctl(fd, TIOCGSERIAL, &info) == 0 ? info.type : -1;
    close(fd);
    return type;
}

SysfsPortTable::SysfsPortTable(std::string class_folder, std::string device_folder,
                               UartQuery uart_type)
    : class_folder_(std::move(class_folder)),
      device_folder_(std::move(device_folder)),
      uart_type_(std::move(uart_type)) {
    while (device_folder_.size() > 1 && device_folder_.back() == '/') {
        device_folder_.pop_back();
    }
}

long SysfsPortTable::Open() {
    values_.clear();
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(class_folder_.c_str()), closedir);
    if (!dir) {
        return errno;
    }
    std::vector<std::string> ttys;
    for (;;) {
        errno = 0;
        const dirent* e = readdir(dir.get());
        if (e == nullptr) {
            if (errno != 0) {
                return errno;
            }
            break;
        }
        const std::string_view name = e->d_name;
        if (name != "." && name != "..") {
            ttys.emplace_back(name);
        }
    }
    std::sort(ttys.begin(), ttys.end(), NaturalLess);

    const std::string node_folder = device_folder_ == "/" ? "" : device_folder_;
    std::map<std::string, unsigned> next_index;
    for (const std::string& tty : ttys) {
        const std::string node = node_folder + "/" + tty;
        const std::string prefix = PrefixFor(tty, class_folder_ + "/" + tty, node, uart_type_);
        if (!prefix.empty()) {
            values_.push_back({ValueName(prefix, next_index[prefix]++), node});
        }
    }
    return 0;
}

long SysfsPortTable::EnumValue(std::uint32_t index, char* name, std::uint32_t& name_size,
                               std::uint8_t* data, std::uint32_t& data_size) {
    if (index >= values_.size()) {
        return kNoMoreItems;
    }
    const Value& value = values_[index];
    // Both are stored with a terminating zero, which the name's size does not count.
    if (value.name.size() + 1 > name_size || value.data.size() + 1 > data_size) {
        return kMoreData;
    }
    std::memcpy(name, value.name.c_str(), value.name.size() + 1);
    name_size = static_cast<std::uint32_t>(value.name.size());
    std::memcpy(data, value.data.c_str(), value.data.size() + 1);
    data_size = static_cast<std::uint32_t>(value.data.size() + 1);
    return 0;
}

void SysfsPortTable::Close() {
    values_.clear();
}

}  // namespace Platform

std::unique_ptr<PortTable> SystemPortTable() {
    return std::make_unique<Platform::SysfsPortTable>();
}

}  // namespace Orvane::HardwareAPI
