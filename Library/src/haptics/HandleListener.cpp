#include "Orvane/HardwareAPI/HandleListener.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "codec/HandleCodec.h"
#include "haptics/LatestValue.h"
#include "transport/Port.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

namespace Msg = Protocol::HandleMsg;
namespace Wire = Codec::Handle;
using Clock = std::chrono::steady_clock;

// A handle that sends no status message for this long is taken for lost.
constexpr Clock::duration kSilence = std::chrono::milliseconds(1000);
// The thread reads in slices this long and looks at its stop request between them, so a
// stop never waits for a handle that has gone quiet.
constexpr std::int64_t kSliceNs = 20'000'000;
// A request the line cannot take in this long is given up (the next one follows).
constexpr std::int64_t kWriteNs = 50'000'000;
// The bytes of one message come together; what stays incomplete this long was cut short.
constexpr Clock::duration kMessageGap = std::chrono::milliseconds(100);
// The largest message a handle sends: a status message with all its user data.
constexpr std::size_t kLargestMessage = Wire::kLargestStatusSize;
// How many of the bytes that start no message a fault quotes.
constexpr std::size_t kQuoted = 8;
constexpr double kMaxRequestHz = 100000;

// Everything the listener thread hands to readers, whole, after each message.
struct Published {
    HandleSnapshot snapshot;
    HandleListenerStats stats;
    bool has_info = false;
    Devices::HandleInfo info;
};

}  // namespace

struct HandleListener::Impl {
    HandleListenerConfig config;
    Transport::Port port;
    Clock::time_point start{};

    std::uint8_t pending[2 * kLargestMessage] = {};
    std::size_t have = 0;
    Clock::time_point message_began{};

    // Since the last status message: what came instead, for the fault text.
    bool anything_since_status = false;
    bool cut_short = false;
    std::uint64_t unknown_since_status = 0;
    std::uint8_t quoted[kQuoted] = {};

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
    Error fault;

    explicit Impl(const HandleListenerConfig& c) : config(c) {}

    void Run();
    // Sends one request; false when the line is gone.
    bool Send(std::size_t (*encode)(Codec::Bytes));
    // Reads for one slice and publishes each whole message; false when the listener must
    // end.
    bool ReceiveSome(Clock::time_point& last_status);
    // Publishes one whole message, header first.
    void TakeMessage(Codec::ConstBytes message, Clock::time_point now,
                     Clock::time_point& last_status);
    bool Fail(ErrorKind kind, const std::string& why);
    std::string SilenceText() const;
    // Waits until `deadline` or a stop; false on a stop.
    bool PauseUntil(Clock::time_point deadline);
};

bool HandleListener::Impl::Fail(ErrorKind kind, const std::string& why) {
    std::lock_guard<std::mutex> lock(fault_mutex);
    fault = Error(kind, why);
    return false;
}

bool HandleListener::Impl::PauseUntil(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(wake_mutex);
    return !wake.wait_until(lock, deadline, [this] { return stop.load(); });
}

std::string HandleListener::Impl::SilenceText() const {
    if (unknown_since_status > 0) {
        std::string text = "the handle sent bytes that are no handle message:";
        char hex[8];
        for (std::size_t i = 0; i < std::min<std::uint64_t>(unknown_since_status, kQuoted); ++i) {
            std::snprintf(hex, sizeof hex, " 0x%02X", quoted[i]);
            text += hex;
        }
        if (unknown_since_status > kQuoted) {
            text += " ...";
        }
        return text + " (" + std::to_string(unknown_since_status) +
               " bytes), and no status message for 1 s";
    }
    if (!anything_since_status) {
        return "the handle went silent: nothing arrived for 1 s";
    }
    if (cut_short) {
        return "the handle went silent in the middle of a message: no status message for 1 s";
    }
    return "the handle sent no status message for 1 s";
}

void HandleListener::Impl::TakeMessage(Codec::ConstBytes message, Clock::time_point now,
                                       Clock::time_point& last_status) {
    const Codec::ConstBytes payload = message.subspan(1);
    HandleListenerStats& stats = next.stats;
    switch (message[0]) {
        case Msg::kStatus: {
            Devices::HandleStatusMessage m{};
            if (!Wire::DecodeStatus(payload, m)) {
                return;
            }
            HandleSnapshot& s = next.snapshot;
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
            anything_since_status = false;
            cut_short = false;
            unknown_since_status = 0;
            break;
        }
        case Msg::kInfo:
            if (Wire::DecodeInfo(payload, next.info)) {
                next.has_info = true;
            }
            break;
        case Msg::kErrorResponse: {
            Devices::HandleErrorResponse error{};
            if (Wire::DecodeErrorResponse(payload, error)) {
                ++stats.errors;
                stats.last_error_code = error.error_code;
            }
            break;
        }
    }
    latest.Write(next);
}

bool HandleListener::Impl::Send(std::size_t (*encode)(Codec::Bytes)) {
    std::uint8_t request[Protocol::kBufferSize];
    const std::size_t n = encode(Codec::Bytes(request));
    if (port.Write(Codec::ConstBytes(request, n), Transport::In(kWriteNs)).error !=
        ErrorKind::None) {
        return Fail(ErrorKind::DeviceLost, "the handle's port closed (unplugged?)");
    }
    return true;
}

bool HandleListener::Impl::ReceiveSome(Clock::time_point& last_status) {
    // The first byte by the end of the slice, then whatever came with it, without a wait:
    // each message is taken as soon as it is whole.
    const Codec::Bytes room(pending + have, sizeof pending - have);
    Transport::Transfer first = port.Read(room.first(1), Transport::In(kSliceNs));
    std::size_t got = first.bytes;
    if (got == 1 && first.error == ErrorKind::None) {
        first = port.Read(room.subspan(1), Transport::In(0));
        got += first.bytes;
    }
    const Clock::time_point now = Clock::now();
    if (stop.load()) {
        return false;  // a read cut short by Stop is no fault of the handle
    }
    if (first.error != ErrorKind::None) {
        return Fail(ErrorKind::DeviceLost, "the handle's port closed (unplugged?)");
    }
    if (got > 0) {
        if (have == 0) {
            message_began = now;
        }
        have += got;
        anything_since_status = true;
    }
    // Whole messages out of what has arrived; a byte that starts none is passed over.
    std::size_t used = 0;
    const std::uint64_t unknown_before = next.stats.unknown_bytes;
    bool took_message = false;
    while (used < have) {
        const std::size_t length =
            Wire::MessageSize(Codec::ConstBytes(pending + used, have - used));
        if (length == Codec::kNoMessage) {
            if (unknown_since_status < kQuoted) {
                quoted[unknown_since_status] = pending[used];
            }
            ++unknown_since_status;
            ++next.stats.unknown_bytes;
            ++used;
            continue;
        }
        if (length == 0 || length > have - used) {
            break;
        }
        TakeMessage(Codec::ConstBytes(pending + used, length), now, last_status);
        took_message = true;
        used += length;
    }
    if (next.stats.unknown_bytes != unknown_before && !took_message) {
        latest.Write(next);  // readers see the count grow while nothing else comes
    }
    std::copy(pending + used, pending + have, pending);
    if (used > 0 && have > used) {
        message_began = now;
    }
    have -= used;
    if (have > 0 && now - message_began > kMessageGap) {
        have = 0;  // cut short: its rest would be taken from the next message
        cut_short = true;
    }
    if (now - last_status > kSilence) {
        return Fail(next.stats.messages == 0 ? ErrorKind::NoDevice : ErrorKind::DeviceLost,
                    SilenceText());
    }
    return true;
}

void HandleListener::Impl::Run() {
    Clock::time_point last_status = Clock::now();
    bool ok = Send(Wire::EncodeWakeup);
    if (config.request_hz > 0) {
        const auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1.0 / config.request_hz));
        Clock::time_point deadline = Clock::now();
        while (ok && !stop.load()) {
            ok = Send(Wire::EncodeStatusRequest);
            ++next.stats.requests;
            const std::uint64_t before = next.stats.messages;
            while (ok && next.stats.messages == before && !stop.load()) {
                ok = ReceiveSome(last_status);
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
            ok = ReceiveSome(last_status);
        }
    }
    latest.Write(next);  // a last request that got no answer still counts
    running.store(false);
}

HandleListener::HandleListener(const std::string& port, const HandleListenerConfig& config) {
    if (!(config.request_hz >= 0) || config.request_hz > kMaxRequestHz) {
        failure_ = Error(ErrorKind::BadArgument,
                         "request_hz must be 0 (a streaming handle) or a rate up to 100000 Hz");
        return;
    }
    impl_ = std::make_unique<Impl>(config);
    if (const Error opened = impl_->port.Open(port)) {
        std::string text = "cannot open the handle's port '" + port + "'";
        if (!opened.message.empty()) {
            text += ": " + opened.message;
        }
        failure_ = Error(ErrorKind::PortUnavailable, text);
        impl_.reset();
    }
}

HandleListener::~HandleListener() {
    Stop();
}

Error HandleListener::Start() {
    if (!impl_) {
        return failure_;
    }
    Impl& i = *impl_;
    std::lock_guard<std::mutex> control(i.control);
    if (i.running.load()) {
        return {};
    }
    if (const Error fault = Fault()) {
        return Error(fault.kind, "the listener failed: " + fault.message);
    }
    if (i.started) {
        return Error(ErrorKind::NotRunning,
                     "a stopped listener cannot start again; make a new one");
    }
    i.start = Clock::now();
    i.running.store(true);
    try {
        i.thread = std::thread([&i] { i.Run(); });
    } catch (const std::system_error&) {
        // Nothing was sent and the port stays open: a later Start may get its thread.
        i.running.store(false);
        return Error(ErrorKind::OutOfResources, "the system refused a thread for the listener");
    }
    i.started = true;
    return {};
}

void HandleListener::Stop() {
    if (!impl_) {
        return;
    }
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
    i.port.Close();
}

bool HandleListener::Running() const {
    return impl_ && impl_->running.load();
}

Error HandleListener::Fault() const {
    if (!impl_) {
        return failure_;
    }
    std::lock_guard<std::mutex> lock(impl_->fault_mutex);
    return impl_->fault;
}

HandleSnapshot HandleListener::Snapshot() const {
    if (!impl_) {
        return {};
    }
    std::lock_guard<std::mutex> lock(impl_->reader);
    impl_->latest.Update();
    return impl_->latest.Front().snapshot;
}

HandleListenerStats HandleListener::Stats() const {
    if (!impl_) {
        return {};
    }
    std::lock_guard<std::mutex> lock(impl_->reader);
    impl_->latest.Update();
    return impl_->latest.Front().stats;
}

std::optional<Devices::HandleInfo> HandleListener::DeviceInfo() const {
    if (!impl_) {
        return std::nullopt;
    }
    std::lock_guard<std::mutex> lock(impl_->reader);
    impl_->latest.Update();
    const Published& p = impl_->latest.Front();
    return p.has_info ? std::optional<Devices::HandleInfo>(p.info) : std::nullopt;
}

}  // namespace Orvane::HardwareAPI::Haptics
