#include "HandleDevice.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "Orvane/HardwareAPI/Protocol.h"
#include "Trace.h"

namespace Orvane::Sim {

namespace P = Orvane::HardwareAPI::Protocol;
namespace H = Orvane::HardwareAPI::Protocol::HandleMsg;

HandleDevice::HandleDevice(const HandleIdentity& identity, Clock::time_point start,
                           double stream_hz)
    : identity_(identity), start_(start) {
    if (stream_hz > 0) {
        stream_period_ = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1.0 / stream_hz));
        next_stream_ = start + stream_period_;
    }
}

void HandleDevice::Receive(const std::uint8_t* data, std::size_t n, Clock::time_point now,
                           std::vector<Message>& replies) {
    framer_.Feed(
        data, n, now,
        [](const std::uint8_t* p, std::size_t available) -> std::size_t {
            switch (p[0]) {
                case H::kWakeup:
                case H::kStatusRequest:
                    return 1;
                case H::kState:
                    return available > H::kStateLength ? H::kStateHeaderSize + p[H::kStateLength]
                                                       : 0;
                default:
                    return RequestFramer::kUnknown;
            }
        },
        [&](const std::uint8_t* request, std::size_t size) {
            if (trace_ != nullptr && request[0] == H::kState) {
                trace_->StateMessage(now, request[0], P::GetU16(request + H::kStateDeviceId),
                                     request + H::kStateData, size - H::kStateHeaderSize);
            } else if (trace_ != nullptr) {
                trace_->Request(now, request[0]);
            }
            switch (request[0]) {
                case H::kWakeup:
                    replies.push_back(Info());
                    break;
                case H::kStatusRequest:
                    replies.push_back(Status(now));
                    break;
                case H::kState:  // no answer: the data shows up in later status messages
                    user_data_.assign(request + H::kStateData, request + size);
                    break;
            }
        },
        [&](std::uint8_t) { replies.push_back(Error(kUnknownRequest)); });
}

std::optional<Message> HandleDevice::Unprompted(Clock::time_point now) {
    if (!next_stream_ || now < *next_stream_) {
        return std::nullopt;
    }
    // A late loop sends one message, not a burst of the ones it missed.
    *next_stream_ += stream_period_;
    if (*next_stream_ <= now) {
        *next_stream_ = now + stream_period_;
    }
    return Status(now);
}

std::array<float, 4> HandleDevice::Orientation(double seconds) {
    const double half = 0.5 * kSpinRate * seconds;
    const double s = std::sin(half);
    return {float(std::cos(half)), float(kSpinAxis[0] * s), float(kSpinAxis[1] * s),
            float(kSpinAxis[2] * s)};
}

std::uint8_t HandleDevice::HallLevel(double seconds) {
    const double phase = std::fmod(seconds / kHallPeriod, 1.0);  // 0..1
    const double triangle = phase < 0.5 ? 2.0 * phase : 2.0 - 2.0 * phase;
    return static_cast<std::uint8_t>(std::lround(255.0 * triangle));
}

Message HandleDevice::Info() const {
    Message m(1 + H::kInfoPayload);
    m[0] = H::kInfo;
    std::uint8_t* p = m.data() + 1;
    p[H::kInfoToolDataRemaining] = identity_.tool_data_remaining;
    P::PutU16(p + H::kInfoDeviceId, identity_.device_id);
    p[H::kInfoModelNumber] = identity_.model_number;
    p[H::kInfoHardwareVersion] = identity_.hardware_version;
    p[H::kInfoFirmwareVersion] = identity_.firmware_version;
    return m;
}

Message HandleDevice::Status(Clock::time_point now) {
    const double t = std::chrono::duration<double>(now - start_).count();
    std::uint8_t error_flag = 0;
    std::uint8_t hall = HallLevel(t);
    std::array<float, 4> q = Orientation(t);
    if (replay_) {
        const HandleSample s = HandleAt(replay_->recording,
                                        replay_->clock.Seconds(now, replay_->recording.Duration()));
        error_flag = s.error_flag;
        hall = static_cast<std::uint8_t>(std::lround(s.hall_effect));
        for (std::size_t i = 0; i < q.size(); ++i) {
            q[i] = static_cast<float>(s.quaternion[i]);
        }
    }
    Message m(1 + H::kStatusFixedPayload + user_data_.size());
    m[0] = H::kStatus;
    std::uint8_t* p = m.data() + 1;
    P::PutU16(p + H::kStatusDeviceId, identity_.device_id);
    p[H::kStatusErrorFlag] = error_flag;
    p[H::kStatusHallEffect] = hall;
    for (std::size_t i = 0; i < q.size(); ++i) {
        P::PutF32(p + H::kStatusQuaternion + 4 * i, q[i]);
    }
    p[H::kStatusUserDataLength] = static_cast<std::uint8_t>(user_data_.size());
    std::copy(user_data_.begin(), user_data_.end(), p + H::kStatusFixedPayload);
    return m;
}

Message HandleDevice::Error(std::uint8_t code) const {
    Message m(1 + H::kErrorPayload);
    m[0] = H::kErrorResponse;
    P::PutU16(m.data() + 1 + H::kErrorDeviceId, identity_.device_id);
    m[1 + H::kErrorCode] = code;
    return m;
}

}  // namespace Orvane::Sim
