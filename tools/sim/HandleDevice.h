// The simulated handle: answers a wake-up with its information message and a status
// request with a status message, keeps the user data of the last state message it got and
// hands it back in every status message. Optionally it streams status messages on its own,
// as a wireless handle does.
//
// The orientation turns at a steady rate about a fixed axis (quaternion sent as w, x, y, z)
// and the hall-effect level sweeps up and down between 0 and 255.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "ReplayTrack.h"
#include "SimDevice.h"

namespace Orvane::Sim {

struct HandleIdentity {
    std::uint16_t device_id = 1;
    std::uint8_t model_number = 1;
    std::uint8_t hardware_version = 1;
    std::uint8_t firmware_version = 1;
    std::uint8_t tool_data_remaining = 100;
};

class HandleDevice : public SimDevice {
public:
    // The error code of the error response to a byte that starts no request.
    static constexpr std::uint8_t kUnknownRequest = 1;
    // Turning rate (rad/s) and axis of the orientation, and the period of the hall sweep.
    static constexpr double kSpinRate = 1.5707963267948966;
    static constexpr std::array<double, 3> kSpinAxis{0.0, 0.6, 0.8};
    static constexpr double kHallPeriod = 2.0;

    // `start` is time zero of the motion; `stream_hz` > 0 streams status messages.
    HandleDevice(const HandleIdentity& identity, Clock::time_point start, double stream_hz = 0);

    void Receive(const std::uint8_t* data, std::size_t n, Clock::time_point now,
                 std::vector<Message>& replies) override;
    std::optional<Clock::time_point> NextUnprompted() const override { return next_stream_; }
    std::optional<Message> Unprompted(Clock::time_point now) override;

    // From now on status messages carry the recorded orientation, hall-effect level and
    // error flag, played on `clock`; the user data is still that of the last state message.
    void Replay(Recorded<HandleSample> recording, ReplayClock clock) {
        replay_.emplace(Playback{std::move(recording), clock});
    }

    static std::array<float, 4> Orientation(double seconds);
    static std::uint8_t HallLevel(double seconds);

    Message Info() const;
    Message Status(Clock::time_point now);
    Message Error(std::uint8_t code) const;

private:
    HandleIdentity identity_;
    Clock::time_point start_;
    Clock::duration stream_period_{};
    std::optional<Clock::time_point> next_stream_;
    std::vector<std::uint8_t> user_data_;
    RequestFramer framer_;
    struct Playback {
        Recorded<HandleSample> recording;
        ReplayClock clock;
    };
    std::optional<Playback> replay_;
};

}  // namespace Orvane::Sim
