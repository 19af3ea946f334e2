// Probing listed ports for arms and handles. Every probe opens its port, sends the
// wake-up, reads one answer and closes the port again before the next port is tried.
#include "Orvane/HardwareAPI/Detection.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <future>
#include <iostream>
#include <optional>

#include "DetectionDetail.h"
#include "Orvane/HardwareAPI/Handle.h"
#include "Orvane/HardwareAPI/SerialStream.h"
#include "Orvane/HardwareAPI/Varnix3.h"
#include "SerialBuffer.h"
#include "platform/Platform.h"

namespace Orvane::HardwareAPI {
namespace {

// A handle counts as present when its first message after the wake-up is its information
// or a status message, whole or not; an error response does not count.
class MyHandle : public Devices::Handle {
public:
    using Handle::Handle;

    void OnReceiveHandleInfo(std::uint8_t, std::uint16_t, std::uint8_t, std::uint8_t,
                             std::uint8_t) override {
        responded = true;
    }
    void OnReceiveHandleStatusMessage(std::uint16_t, const float*, std::uint8_t, std::uint8_t,
                                      std::uint8_t, const std::uint8_t*) override {
        responded = true;
    }

    bool responded = false;
};

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

// A probe's reads and writes end this long before its bound: the close, which lets the
// wake-up drain and puts the line back as it was, runs within the bound too.
constexpr std::chrono::milliseconds kCloseAllowance{150};

// Waits for `task` at most `bound`, then for its end: it still uses its port, which must be
// closed before the next one is probed. Its result when it ended in time, else 0.
int Await(std::future<int>& task, std::chrono::milliseconds bound) {
    // wait_for measures on the steady clock.
    const bool in_time = task.wait_for(bound) == std::future_status::ready;
    try {
        const int result = task.get();
        return in_time ? result : 0;
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n' << std::flush;
        return 0;
    }
}

int ProbeArm(const char* port, Deadline end) {
    try {
        IO::SerialStream stream(port, false);
        if (stream.Open() != IO::SerialStream::kOpened) {
            return 0;  // the open failure has printed its line
        }
        if (end) {
            BufferOf(stream)->SetDeadline(*end);
        }
        Devices::Varnix3 arm(stream);
        arm.SendDeviceWakeup();
        std::uint16_t device_id = 0;
        std::uint8_t model_number = 0;
        std::uint8_t hardware_version = 0;
        std::uint8_t firmware_version = 0;
        UUID uuid;
        arm.ReceiveDeviceInfo(device_id, model_number, hardware_version, firmware_version, uuid);
        BufferOf(stream)->Close();
        return model_number == Protocol::Arm::kArmModelNumber ? 1 : 0;
    } catch (const std::exception& e) {
        std::printf("exception: %s\n", e.what());
        std::fflush(stdout);
        return 0;
    }
}

int ProbeHandle(const char* port, Deadline end) {
    try {
        IO::SerialStream stream(port, false);
        if (stream.Open() != IO::SerialStream::kOpened) {
            return 0;
        }
        if (end) {
            BufferOf(stream)->SetDeadline(*end);
        }
        MyHandle handle(stream);
        handle.SendDeviceWakeup();
        handle.Receive();
        BufferOf(stream)->Close();
        return handle.responded ? 1 : 0;
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n' << std::flush;
        return 0;
    }
}

bool Searched(Detail::Search search, PortKind kind) {
    switch (search) {
        case Detail::Search::Varnix3s:
            return kind == UsbSerial;
        case Detail::Search::Handles:
            return kind != UsbSerial;
        case Detail::Search::WiredHandles:
            return kind == WiredSerial;
        case Detail::Search::WirelessHandles:
            return kind == BluetoothSerial;
    }
    return false;
}

}  // namespace

namespace Detail {

int CheckPort(Probe probe, const char* port, std::chrono::milliseconds bound) {
    std::future<int> task = std::async(std::launch::async, probe, port);
    return Await(task, bound);
}

int CheckPortWithin(BoundedProbe probe, const char* port, std::chrono::milliseconds bound) {
    const Clock::time_point end =
        Clock::now() + bound - std::min<std::chrono::milliseconds>(kCloseAllowance, bound / 4);
    std::future<int> task = std::async(std::launch::async, [=] {
        // The open looks for other holders of this port right before the wake-up goes out,
        // and gives the port up rather than run past the probe's bound.
        Platform::BoundOpens(end);
        const int result = probe(port, end);
        Platform::BoundOpens(std::nullopt);
        return result;
    });
    return Await(task, bound);
}

int ProbeArmUntil(const char* port, Clock::time_point end) {
    return ProbeArm(port, end);
}

int ProbeHandleUntil(const char* port, Clock::time_point end) {
    return ProbeHandle(port, end);
}

std::vector<std::string> Detect(PortTable& table, Search search, std::chrono::milliseconds bound) {
    const BoundedProbe probe = search == Search::Varnix3s ? ProbeArmUntil : ProbeHandleUntil;
    std::vector<SerialPortEntry> ports = ListSerialPorts(table);
    std::vector<std::string> found;
    for (SerialPortEntry& entry : ports) {
        if (Searched(search, entry.kind) &&
            CheckPortWithin(probe, entry.port.c_str(), bound) != 0) {
            found.push_back(std::move(entry.port));
        }
    }
    return found;
}

}  // namespace Detail

int probe_varnix3_port(const char* port) {
    return ProbeArm(port, std::nullopt);
}

int probe_handle_port(const char* port) {
    return ProbeHandle(port, std::nullopt);
}

std::vector<std::string> detect_varnix3s(PortTable& table) {
    return Detail::Detect(table, Detail::Search::Varnix3s, kArmProbeBound);
}
std::vector<std::string> detect_handles(PortTable& table) {
    return Detail::Detect(table, Detail::Search::Handles, kHandleProbeBound);
}
std::vector<std::string> detect_wired_handles(PortTable& table) {
    return Detail::Detect(table, Detail::Search::WiredHandles, kHandleProbeBound);
}
std::vector<std::string> detect_wireless_handles(PortTable& table) {
    return Detail::Detect(table, Detail::Search::WirelessHandles, kHandleProbeBound);
}

namespace {
// Detection over the machine's own table; no table at all finds nothing.
std::vector<std::string> DetectOnSystem(Detail::Search search, std::chrono::milliseconds bound) {
    const std::unique_ptr<PortTable> table = SystemPortTable();
    return table ? Detail::Detect(*table, search, bound) : std::vector<std::string>{};
}
}  // namespace

std::vector<std::string> detect_varnix3s() {
    return DetectOnSystem(Detail::Search::Varnix3s, kArmProbeBound);
}
std::vector<std::string> detect_handles() {
    return DetectOnSystem(Detail::Search::Handles, kHandleProbeBound);
}
std::vector<std::string> detect_wired_handles() {
    return DetectOnSystem(Detail::Search::WiredHandles, kHandleProbeBound);
}
std::vector<std::string> detect_wireless_handles() {
    return DetectOnSystem(Detail::Search::WirelessHandles, kHandleProbeBound);
}

}  // namespace Orvane::HardwareAPI
