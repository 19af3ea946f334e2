// A recorded session as the replaying devices play it: the arm's states or the handle's
// statuses by time, and the replay clock that says where in them the device is.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "ArmModel.h"
#include "SimDevice.h"

namespace Orvane::Sim {
// Seconds into the recording: `speed` times the time since the first call; with `loop` the
// recording starts over at its end, otherwise it holds its last record.
class ReplayClock {
public:
    ReplayClock(double speed, bool loop) : speed_(speed), loop_(loop) {}

    double Seconds(Clock::time_point now, double duration);

private:
    double speed_;
    bool loop_;
    std::optional<Clock::time_point> start_;
};

struct ArmSample {
    double time = 0;  // s since the first record
    Vec3 position{};
    Vec3 velocity{};
};

struct HandleSample {
    double time = 0;
    std::array<double, 4> quaternion{1, 0, 0, 0};  // w, x, y, z
    double hall_effect = 0;
    std::uint8_t error_flag = 0;
};

template <typename Sample>
struct Recorded {
    std::vector<Sample> samples;  // by time, at least one
    double Duration() const { return samples.back().time - samples.front().time; }
};

// The state `seconds` after the first record, interpolated linearly between the records
// around it (the quaternion normalised again); before the first and after the last record,
// that record.
ArmSample ArmAt(const Recorded<ArmSample>& r, double seconds);
HandleSample HandleAt(const Recorded<HandleSample>& r, double seconds);

}  // namespace Orvane::Sim
