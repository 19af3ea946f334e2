#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "DetectionDetail.h"
#include "FakePortTable.h"
#include "Orvane/HardwareAPI/Detection.h"
#include "Orvane/HardwareAPI/Protocol.h"
#include "Orvane/HardwareAPI/SerialStream.h"
#include "Orvane/HardwareAPI/Varnix3.h"
#include "PtyPair.h"

namespace {

namespace Arm = Orvane::HardwareAPI::Protocol::Arm;
namespace Msg = Orvane::HardwareAPI::Protocol::HandleMsg;
namespace Detail = Orvane::HardwareAPI::Detail;
namespace api = Orvane::HardwareAPI;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using OrvaneTest::FakePortTable;

Bytes ArmInfo(std::uint8_t model_number) {
    Bytes b(1 + Arm::kDeviceInfoPayload, 0);
    b[0] = Arm::kDeviceInfo;
    b[1 + Arm::kInfoDeviceId] = 0x34;
    b[1 + Arm::kInfoDeviceId + 1] = 0x12;
    b[1 + Arm::kInfoModelNumber] = model_number;
    b[1 + Arm::kInfoHardwareVersion] = 2;
    b[1 + Arm::kInfoFirmwareVersion] = 7;
    for (std::size_t i = 0; i < Arm::kUuidSize; ++i) {
        b[1 + Arm::kInfoUuid + i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    return b;
}

Bytes HandleInfo() {
    Bytes b(1 + Msg::kInfoPayload, 0);
    b[0] = Msg::kInfo;
    b[1 + Msg::kInfoDeviceId] = 0x21;
    b[1 + Msg::kInfoModelNumber] = 9;
    return b;
}

// A status message whose payload stops after `payload` bytes (the full one has no user data).
Bytes HandleStatus(std::size_t payload = Msg::kStatusFixedPayload) {
    Bytes b(1 + payload, 0);
    b[0] = Msg::kStatus;
    return b;
}

Bytes HandleErrorResponse() {
    return {Msg::kErrorResponse, 0x21, 0x00, 0x05};
}

// True when nobody holds the port open: the library locks every port it has open.
bool IsFree(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return locked;
}

// A device on the master side of a pseudo-terminal: after each wake-up it waits `delay`,
// runs `on_wakeup`, then sends `reply`. It records every byte the library wrote.
class ScriptedDevice {
public:
    explicit ScriptedDevice(Bytes reply, std::chrono::milliseconds delay = 0ms,
                            std::function<void()> on_wakeup = {})
        : reply_(std::move(reply)), delay_(delay), on_wakeup_(std::move(on_wakeup)) {
        thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedDevice() {
        stop_ = true;
        thread_.join();
    }

    const std::string& path() const { return pty_.path(); }
    Bytes received() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

private:
    void Run() {
        while (!stop_) {
            pollfd p{pty_.master(), POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) {
                continue;
            }
            std::uint8_t buf[256];
            const ssize_t r = read(pty_.master(), buf, sizeof buf);
            if (r <= 0) {
                std::this_thread::sleep_for(10ms);
                continue;
            }
            for (ssize_t i = 0; i < r; ++i) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    received_.push_back(buf[i]);
                }
                if (buf[i] == Arm::kWakeup) {
                    std::this_thread::sleep_for(delay_);
                    if (on_wakeup_) {
                        on_wakeup_();
                    }
                    if (!reply_.empty()) {
                        pty_.Send(reply_);
                    }
                }
            }
        }
    }

    OrvaneTest::PtyPair pty_;
    const Bytes reply_;
    const std::chrono::milliseconds delay_;
    const std::function<void()> on_wakeup_;
    mutable std::mutex mutex_;
    Bytes received_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

FakePortTable Table(std::vector<std::pair<const char*, const ScriptedDevice*>> ports) {
    FakePortTable table;
    for (const auto& [name, device] : ports) {
        table.values.push_back({name, FakePortTable::Stored(device->path())});
    }
    return table;
}

using Detector = std::vector<std::string> (*)(api::PortTable&);

struct Output {
    std::string out;
    std::string err;
};

// Runs `detect` over `table` with both standard streams captured.
std::vector<std::string> RunCaptured(Detector detect, api::PortTable& table, Output& output) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    auto found = detect(table);
    output.err = testing::internal::GetCapturedStderr();
    output.out = testing::internal::GetCapturedStdout();
    return found;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

const Bytes kWakeup{Arm::kWakeup};

TEST(Detection, EachFunctionProbesOnlyItsKindsInListOrder) {
    ScriptedDevice arm(ArmInfo(Arm::kArmModelNumber));
    ScriptedDevice wired(HandleInfo());
    // By the time the wireless handle is woken, the wired port has been closed again.
    std::atomic<int> wired_open_at_wakeup{0};
    ScriptedDevice wireless(HandleStatus(), 0ms, [&] {
        if (!IsFree(wired.path())) {
            ++wired_open_at_wakeup;
        }
    });
    FakePortTable table = Table({{"\\Device\\USBSER000", &arm},
                                 {"\\Device\\Serial0", &wired},
                                 {"\\Device\\BthModem0", &wireless}});

    Output output;
    EXPECT_EQ(RunCaptured(api::detect_varnix3s, table, output),
              std::vector<std::string>{arm.path()});
    EXPECT_EQ(arm.received(), kWakeup);
    EXPECT_TRUE(wired.received().empty());
    EXPECT_TRUE(wireless.received().empty());

    EXPECT_EQ(RunCaptured(api::detect_handles, table, output),
              (std::vector<std::string>{wired.path(), wireless.path()}));
    EXPECT_EQ(RunCaptured(api::detect_wired_handles, table, output),
              std::vector<std::string>{wired.path()});
    EXPECT_EQ(RunCaptured(api::detect_wireless_handles, table, output),
              std::vector<std::string>{wireless.path()});
    EXPECT_EQ(output.out + output.err, "");

    // One wake-up byte per probe and nothing else; the arm was never probed again.
    EXPECT_EQ(arm.received(), kWakeup);
    EXPECT_EQ(wired.received(), (Bytes{Arm::kWakeup, Arm::kWakeup}));
    EXPECT_EQ(wireless.received(), (Bytes{Arm::kWakeup, Arm::kWakeup}));
    EXPECT_EQ(wired_open_at_wakeup, 0);
    for (const ScriptedDevice* d : {&arm, &wired, &wireless}) {
        EXPECT_TRUE(IsFree(d->path())) << d->path();
    }
    EXPECT_EQ(table.opens, 4);  // the port list is read afresh by every call
}

struct ProbeCase {
    const char* what;
    const char* value_name;
    Detector detect;
    Bytes reply;
    bool found;
    double min_seconds;
    double max_seconds;
};

class SinglePort : public testing::TestWithParam<ProbeCase> {};

TEST_P(SinglePort, ReportsOnlyTheRightAnswerAndPrintsNothing) {
    const ProbeCase& c = GetParam();
    ScriptedDevice device(c.reply);
    FakePortTable table = Table({{c.value_name, &device}});
    Output output;
    const auto start = Clock::now();
    const auto found = RunCaptured(c.detect, table, output);
    const double seconds = SecondsSince(start);
    EXPECT_EQ(found,
              c.found ? std::vector<std::string>{device.path()} : std::vector<std::string>{});
    EXPECT_EQ(output.err, "");
    EXPECT_EQ(output.out, "");
    EXPECT_EQ(device.received(), kWakeup);
    EXPECT_GE(seconds, c.min_seconds);
    EXPECT_LE(seconds, c.max_seconds);
    EXPECT_TRUE(IsFree(device.path()));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SinglePort,
    testing::Values(
        ProbeCase{"Arm", "\\Device\\USBSER000", api::detect_varnix3s, ArmInfo(4), true, 0, 0.9},
        ProbeCase{"ArmOfAnotherModel", "\\Device\\USBSER000", api::detect_varnix3s, ArmInfo(3),
                  false, 0, 0.9},
        // A different header is discarded with what follows it until the line is quiet.
        ProbeCase{"HandleOnAnArmPort", "\\Device\\USBSER000", api::detect_varnix3s, HandleInfo(),
                  false, 0.9, 2.5},
        ProbeCase{
            "SilentArmPort", "\\Device\\USBSER000", api::detect_varnix3s, {}, false, 0.9, 2.5},
        ProbeCase{"WiredHandleInformation", "\\Device\\Silabser0", api::detect_wired_handles,
                  HandleInfo(), true, 0, 0.9},
        ProbeCase{"StatusMessageCutShort", "\\Device\\Serial0", api::detect_handles,
                  HandleStatus(5), true, 0.9, 2.5},
        ProbeCase{"ErrorResponseOnly", "\\Device\\BthModem0", api::detect_wireless_handles,
                  HandleErrorResponse(), false, 0, 0.9},
        ProbeCase{
            "SilentHandlePort", "\\Device\\BthModem0", api::detect_handles, {}, false, 0.9, 2.5}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(Detection, PortAlreadyOpenHereIsSkippedAndLeftUndisturbed) {
    ScriptedDevice device(ArmInfo(Arm::kArmModelNumber));
    api::IO::SerialStream existing(device.path().c_str(), true);
    FakePortTable table = Table({{"\\Device\\USBSER000", &device}});

    Output output;
    EXPECT_TRUE(RunCaptured(api::detect_varnix3s, table, output).empty());
    EXPECT_EQ(output.out, "");
    const std::string line =
        "[err] Library/src/SerialStream:39> unable to open port '" + device.path() + "': [";
    EXPECT_EQ(output.err.rfind(line, 0), 0u) << output.err;
    EXPECT_EQ(std::count(output.err.begin(), output.err.end(), '\n'), 1);
    EXPECT_TRUE(device.received().empty());

    // The stream opened before still talks to the device.
    api::Devices::Varnix3 arm(existing);
    arm.SendDeviceWakeup();
    std::uint16_t id = 0;
    std::uint8_t model = 0, hardware = 0, firmware = 0;
    api::UUID uuid;
    EXPECT_EQ(arm.ReceiveDeviceInfo(id, model, hardware, firmware, uuid),
              static_cast<std::int32_t>(Arm::kDeviceInfoPayload));
    EXPECT_EQ(id, 0x1234);
    EXPECT_EQ(model, Arm::kArmModelNumber);
    EXPECT_TRUE(existing.good());
}

// A program that opens a port while detection probes an earlier one: the later probe looks
// for holders of its own port as it opens it, and sends nothing there.
TEST(Detection, PortOpenedByAnotherProgramMidDetectionGetsNoByte) {
    ScriptedDevice silent({});
    ScriptedDevice arm(ArmInfo(Arm::kArmModelNumber));
    FakePortTable table = Table({{"\\Device\\USBSER000", &silent}, {"\\Device\\USBSER001", &arm}});
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const std::string path = arm.path();
    pid_t holder = -1;
    std::thread opener([&] {
        std::this_thread::sleep_for(100ms);  // the first probe is under way
        const pid_t child = fork();
        if (child == 0) {
            for (int fd = 3; fd < 1024; ++fd) {
                if (fd != ready[1]) {
                    close(fd);  // not the test's device ends of the lines
                }
            }
            const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
            const char ok = fd >= 0 ? 1 : 0;
            if (write(ready[1], &ok, 1) == 1) {
                pause();
            }
            _exit(0);
        }
        holder = child;
        char ok = 0;
        EXPECT_EQ(read(ready[0], &ok, 1), 1);
        EXPECT_EQ(ok, 1);
    });
    testing::internal::CaptureStderr();
    const auto found = Detail::Detect(table, Detail::Search::Varnix3s, 600ms);
    const std::string err = testing::internal::GetCapturedStderr();
    opener.join();
    EXPECT_TRUE(found.empty());
    EXPECT_NE(err.find("[16] Device or resource busy"), std::string::npos) << err;
    EXPECT_EQ(silent.received(), kWakeup);
    EXPECT_TRUE(arm.received().empty());
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
}

TEST(Detection, SlowAnswerPastTheBoundIsNotReportedAndTheBoundHolds) {
    ScriptedDevice slow(ArmInfo(Arm::kArmModelNumber), 600ms);
    FakePortTable table = Table({{"\\Device\\USBSER000", &slow}});
    {
        // A program's first look for other holders reads every process's files, which on a
        // busy machine may take much of a 200 ms bound; later looks read only what changed.
        OrvaneTest::PtyPair other;
        const api::IO::SerialStream warm(other.path().c_str(), true);
    }
    const auto start = Clock::now();
    EXPECT_TRUE(Detail::Detect(table, Detail::Search::Varnix3s, 200ms).empty());
    EXPECT_LT(SecondsSince(start), 0.5);
    EXPECT_TRUE(IsFree(slow.path()));  // the probe has ended and closed its port
    // Within the bound the same answer counts.
    EXPECT_EQ(Detail::Detect(table, Detail::Search::Varnix3s, api::kArmProbeBound),
              std::vector<std::string>{slow.path()});
    EXPECT_EQ(slow.received(), (Bytes{Arm::kWakeup, Arm::kWakeup}));
}

// A board that prints a text line every half second, whatever it is sent.
class ChatteringPort {
public:
    ChatteringPort() {
        thread_ = std::thread([this] {
            const Bytes line{'T', '=', '2', '1', '.', '5', '\r', '\n'};
            while (!stop_) {
                pty_.Send(line);
                std::uint8_t sink[64];
                pollfd p{pty_.master(), POLLIN, 0};
                while (poll(&p, 1, 0) > 0 && read(pty_.master(), sink, sizeof sink) > 0) {
                }
                std::this_thread::sleep_for(500ms);
            }
        });
    }
    ~ChatteringPort() {
        stop_ = true;
        thread_.join();
    }
    const std::string& path() const { return pty_.path(); }

private:
    OrvaneTest::PtyPair pty_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct ChatterCase {
    const char* what;
    const char* value_name;
    Detector detect;
    double bound_s;
    double at_least_s;  // the arm's probe discards what it hears until its bound
};

class ChatteringPortTest : public testing::TestWithParam<ChatterCase> {};

// Each byte comes in time for the next, so only the probe's own bound can end it.
TEST_P(ChatteringPortTest, ProbeEndsWithinItsBound) {
    const ChatterCase& c = GetParam();
    ChatteringPort port;
    FakePortTable table;
    table.values.push_back({c.value_name, FakePortTable::Stored(port.path())});
    Output output;
    const auto start = Clock::now();
    EXPECT_TRUE(RunCaptured(c.detect, table, output).empty());
    const double took = SecondsSince(start);
    EXPECT_LT(took, c.bound_s);
    EXPECT_GE(took, c.at_least_s);
    EXPECT_TRUE(IsFree(port.path()));
}

INSTANTIATE_TEST_SUITE_P(
    Probes, ChatteringPortTest,
    testing::Values(ChatterCase{"Arm", "\\Device\\USBSER000", api::detect_varnix3s, 3.0, 2.0},
                    ChatterCase{"Handle", "\\Device\\Serial0", api::detect_wired_handles, 5.0, 0}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(Detection, CheckerWaitsForTheTaskAndReportsWhatItThrows) {
    static std::atomic<bool> ended{false};
    const Detail::Probe slow = [](const char*) {
        std::this_thread::sleep_for(300ms);
        ended = true;
        return 1;
    };
    EXPECT_EQ(Detail::CheckPort(slow, "x", 50ms), 0);
    EXPECT_TRUE(ended);
    EXPECT_EQ(Detail::CheckPort(slow, "x", 2s), 1);

    const Detail::Probe failing = [](const char*) -> int {
        throw std::runtime_error("probe failed");
    };
    testing::internal::CaptureStderr();
    EXPECT_EQ(Detail::CheckPort(failing, "x", 1s), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "probe failed\n");
}

TEST(Detection, NoTableFindsNothing) {
    FakePortTable table;
    table.open_status = 2;
    for (Detector detect :
         {static_cast<Detector>(api::detect_varnix3s), static_cast<Detector>(api::detect_handles),
          static_cast<Detector>(api::detect_wired_handles),
          static_cast<Detector>(api::detect_wireless_handles)}) {
        Output output;
        EXPECT_TRUE(RunCaptured(detect, table, output).empty());
        EXPECT_EQ(output.err,
                  "[err] Library/src/SerialDeviceProvider:115> unable to access registry key: "
                  "TEST\\SERIALPORTS: [2] No such file or directory\n");
    }
}

}  // namespace
