#include "HandleDevice.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "Orvane/HardwareAPI/Protocol.h"
#include "Trace.h"
#include "codec/HandleCodec.h"

namespace Orvane::Sim {

namespace H = Orvane::HardwareAPI::Protocol::HandleMsg;
namespace Codec = Orvane::HardwareAPI::Codec;
namespace Wire = Orvane::HardwareAPI::Codec::Handle;
namespace Devices = Orvane::HardwareAPI::Devices;

static_assert(RequestFramer::kUnknown == Codec::kNoMessage);

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
        [](const std::uint8_t* p, std::size_t available) {
            return Wire::RequestSize(Codec::ConstBytes(p, available));
        },
        [&](const std::uint8_t* request, std::size_t size) {
            std::uint16_t device_id = 0;
            Codec::ConstBytes user_data;
            const bool state =
                Wire::DecodeState(Codec::ConstBytes(request, size), device_id, user_data);
            if (trace_ != nullptr && state) {
                trace_->StateMessage(now, request[0], device_id, user_data.data(),
                                     user_data.size());
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
                    user_data_.assign(user_data.begin(), user_data.end());
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
    Devices::HandleInfo info;
    info.device_id = identity_.device_id;
    info.tool_data_remaining = identity_.tool_data_remaining;
    info.device_model_number = identity_.model_number;
    info.hardware_version = identity_.hardware_version;
    info.firmware_version = identity_.firmware_version;
    Message m(Wire::kInfoSize);
    Wire::EncodeInfo(m, info);
    return m;
}

Message HandleDevice::Status(Clock::time_point now) {
    const double t = std::chrono::duration<double>(now - start_).count();
    Devices::HandleStatusMessage status;
    status.device_id = identity_.device_id;
    status.hall_effect_sensor_level = HallLevel(t);
    std::array<float, 4> q = Orientation(t);
    if (replay_) {
        const HandleSample s = HandleAt(replay_->recording,
                                        replay_->clock.Seconds(now, replay_->recording.Duration()));
        status.error_flag = s.error_flag;
        status.hall_effect_sensor_level = static_cast<std::uint8_t>(std::lround(s.hall_effect));
        for (std::size_t i = 0; i < q.size(); ++i) {
            q[i] = static_cast<float>(s.quaternion[i]);
        }
    }
    std::copy(q.begin(), q.end(), status.quaternion);
    // A state message carries at most the user data one length byte announces.
    status.user_data_length = static_cast<std::uint8_t>(user_data_.size());
    std::copy_n(user_data_.begin(), status.user_data_length, status.user_data.begin());
    Message m(Wire::kStatusFixedSize + status.user_data_length);
    Wire::EncodeStatus(m, status);
    return m;
}

Message HandleDevice::Error(std::uint8_t code) const {
    Message m(Wire::kErrorResponseSize);
    Wire::EncodeErrorResponse(m, Devices::HandleErrorResponse{identity_.device_id, code});
    return m;
}

}  // namespace Orvane::Sim
