#include "Orvane/HardwareAPI/HandleListener.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Orvane/HardwareAPI/SerialStream.h"
#include "SerialBuffer.h"
#include "haptics/LatestValue.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

using Clock = std::chrono::steady_clock;

// A handle that sends no status message for this long is taken for silent. The stream's
// own read time-out is a second too, so a silent handle fails its read about then.
constexpr Clock::duration kSilence = std::chrono::milliseconds(1000);
// A read that fails this much sooner than its time-out lost its port: the far end hung up.
constexpr Clock::duration kHangupBefore = std::chrono::milliseconds(500);
constexpr double kMaxRequestHz = 100000;

// Everything the listener thread hands to readers, whole, after each message.
struct Published {
    HandleSnapshot snapshot;
    HandleListenerStats stats;
    bool has_info = false;
    Devices::HandleInfo info;
};

// The Handle whose callbacks fill the listener's next publication. Receive calls them even
// when a read came up short, so the thread publishes only after checking the stream.
class ListeningHandle : public Devices::Handle {
public:
    using Devices::Handle::Handle;

    enum class Got { Nothing, Info, Status, Error };
    Got got = Got::Nothing;
    Devices::HandleInfo info{};
    Devices::HandleStatusMessage status{};
    Devices::HandleErrorResponse error{};

    void OnReceiveHandleInfoRecord(const Devices::HandleInfo& record) override {
        info = record;
        got = Got::Info;
    }
    void OnReceiveHandleStatusMessageRecord(const Devices::HandleStatusMessage& record) override {
        status = record;
        got = Got::Status;
    }
    void OnReceiveHandleErrorResponseRecord(const Devices::HandleErrorResponse& record) override {
        error = record;
        got = Got::Error;
    }
};

}  // namespace

struct HandleListener::Impl {
    HandleListenerConfig config;
    IO::SerialStream stream;
    ListeningHandle handle{stream};
    Clock::time_point start{};

    mutable LatestValue<Published> latest;
    Published next{};  // the thread's working copy
    double first_status_time = 0;
    mutable std::mutex reader;  // LatestValue has one reader side; readers take turns on it

    std::mutex control;  // Start and Stop, which callers may race from two threads
    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<bool> stop{false};
    bool started = false;
    std::mutex wake_mutex;  // only for the pause between status requests
    std::condition_variable wake;
    mutable std::mutex fault_mutex;
    std::string fault;

    Impl(const std::string& port, const HandleListenerConfig& c)
        : config(c), stream(port.c_str(), true) {}

    void Run();
    // Reads one message and publishes what it brought; false when the listener must end.
    bool ReceiveOne(Clock::time_point& last_status);
    bool Fail(const std::string& why);
    // Waits until `deadline` or a stop; false on a stop.
    bool PauseUntil(Clock::time_point deadline);
};

bool HandleListener::Impl::Fail(const std::string& why) {
    std::lock_guard<std::mutex> lock(fault_mutex);
    fault = why;
    return false;
}

bool HandleListener::Impl::PauseUntil(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(wake_mutex);
    return !wake.wait_until(lock, deadline, [this] { return stop.load(); });
}

bool HandleListener::Impl::ReceiveOne(Clock::time_point& last_status) {
    const Clock::time_point began = Clock::now();
    handle.got = ListeningHandle::Got::Nothing;
    const int result = handle.Receive();
    const Clock::time_point now = Clock::now();
    if (!stream.good()) {
        if (stop.load()) {
            return false;  // a read cut short by Stop's wait is no fault of the handle
        }
        if (now - began < kSilence - kHangupBefore) {
            return Fail("the handle's port closed (unplugged?)");
        }
        return Fail("the handle went silent: nothing arrived for 1 s");
    }
    HandleListenerStats& stats = next.stats;
    switch (handle.got) {
        case ListeningHandle::Got::Status: {
            HandleSnapshot& s = next.snapshot;
            const Devices::HandleStatusMessage& m = handle.status;
            s.time = std::chrono::duration<double>(now - start).count();
            s.sequence = ++stats.messages;
            s.device_id = m.device_id;
            std::copy(std::begin(m.quaternion), std::end(m.quaternion), s.quaternion.begin());
            s.hall_effect = m.hall_effect_sensor_level;
            s.error_flag = m.error_flag;
            s.user_data_length = m.user_data_length;
            std::copy_n(m.user_data.begin(), s.user_data.size(), s.user_data.begin());
            if (stats.messages == 1) {
                first_status_time = s.time;
            } else if (s.time > first_status_time) {
                stats.rate_hz =
                    static_cast<double>(stats.messages - 1) / (s.time - first_status_time);
            }
            last_status = now;
            break;
        }
        case ListeningHandle::Got::Info:
            next.has_info = true;
            next.info = handle.info;
            break;
        case ListeningHandle::Got::Error:
            ++stats.errors;
            stats.last_error_code = handle.error.error_code;
            break;
        case ListeningHandle::Got::Nothing:
            if (result < 0) {
                ++stats.unknown_bytes;
            }
            break;
    }
    latest.Write(next);
    // Bytes that start no message keep a read from timing out; the status must still come.
    if (now - last_status > kSilence) {
        return Fail("the handle sent no status message for 1 s");
    }
    return true;
}

void HandleListener::Impl::Run() {
    handle.SendDeviceWakeup();
    Clock::time_point last_status = Clock::now();
    bool ok = true;
    if (config.request_hz > 0) {
        const auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1.0 / config.request_hz));
        Clock::time_point deadline = Clock::now();
        while (ok && !stop.load()) {
            handle.RequestStatus();
            ++next.stats.requests;
            const std::uint64_t before = next.stats.messages;
            while (ok && next.stats.messages == before && !stop.load()) {
                ok = ReceiveOne(last_status);
            }
            // Absolute deadlines keep the rate; a late listener skips, never bursts.
            deadline += period;
            const Clock::time_point now = Clock::now();
            if (deadline < now) {
                deadline = now;
            }
            if (ok && !PauseUntil(deadline)) {
                break;
            }
        }
    } else {
        while (ok && !stop.load()) {
            ok = ReceiveOne(last_status);
        }
    }
    running.store(false);
}

namespace {

const HandleListenerConfig& Checked(const HandleListenerConfig& config) {
    if (!(config.request_hz >= 0) || config.request_hz > kMaxRequestHz) {
        throw HandleListenerError(
            "request_hz must be 0 (a streaming handle) or a rate up to 100000 Hz");
    }
    return config;
}

}  // namespace

HandleListener::HandleListener(const std::string& port, const HandleListenerConfig& config)
    : impl_(std::make_unique<Impl>(port, Checked(config))) {
    if (impl_->stream.Buffer() == nullptr || !impl_->stream.Buffer()->IsOpen()) {
        throw HandleListenerError("cannot open the handle's port '" + port + "'");
    }
}

HandleListener::~HandleListener() {
    Stop();
}

void HandleListener::Start() {
    Impl& i = *impl_;
    std::lock_guard<std::mutex> control(i.control);
    if (i.running.load()) {
        return;
    }
    if (!Fault().empty()) {
        throw HandleListenerError("the listener failed: " + Fault());
    }
    if (i.started) {
        throw HandleListenerError("a stopped listener cannot start again; make a new one");
    }
    i.started = true;
    i.start = Clock::now();
    i.running.store(true);
    i.thread = std::thread([&i] { i.Run(); });
}

void HandleListener::Stop() {
    Impl& i = *impl_;
    std::lock_guard<std::mutex> control(i.control);
    {
        std::lock_guard<std::mutex> lock(i.wake_mutex);
        i.stop.store(true);
    }
    i.wake.notify_all();
    if (i.thread.joinable()) {
        i.thread.join();
    }
    i.started = true;  // the port is closed from here on
    if (i.stream.Buffer() != nullptr) {
        i.stream.Buffer()->Close();
    }
}

bool HandleListener::Running() const {
    return impl_->running.load();
}

std::string HandleListener::Fault() const {
    std::lock_guard<std::mutex> lock(impl_->fault_mutex);
    return impl_->fault;
}

HandleSnapshot HandleListener::Snapshot() const {
    std::lock_guard<std::mutex> lock(impl_->reader);
    impl_->latest.Update();
    return impl_->latest.Front().snapshot;
}

HandleListenerStats HandleListener::Stats() const {
    std::lock_guard<std::mutex> lock(impl_->reader);
    impl_->latest.Update();
    return impl_->latest.Front().stats;
}

std::optional<Devices::HandleInfo> HandleListener::DeviceInfo() const {
    std::lock_guard<std::mutex> lock(impl_->reader);
    impl_->latest.Update();
    const Published& p = impl_->latest.Front();
    return p.has_info ? std::optional<Devices::HandleInfo>(p.info) : std::nullopt;
}

}  // namespace Orvane::HardwareAPI::Haptics
