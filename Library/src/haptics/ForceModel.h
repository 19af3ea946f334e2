// The force the servo loop sends, from the arm's state, the commanded force and the
// effects, with the limits that keep the arm safe. Pure computation: no clock, no port.
#pragma once

#include <cstddef>

#include "Orvane/HardwareAPI/Effects.h"

namespace Orvane::HardwareAPI::Haptics {

struct ForceLimits {
    double max_force = 5.0;
    double watchdog_s = 0.1;  // 0: the commanded force never goes stale
    double watchdog_ramp_s = 0.05;
    double max_speed = 0.0;  // 0: never brake
    double brake_damping = 10.0;
};

struct ForceResult {
    Vec3 force{};
    bool clamped = false;
    bool non_finite = false;
    bool braking = false;
    bool watchdog_tripped = false;  // the commanded force went stale in this cycle
};

// One effect's force at position x, velocity v.
Vec3 EffectForce(const Effect& effect, const Vec3& x, const Vec3& v);

class ForceModel {
public:
    // Below this share of max_speed a braking arm counts as slowed down.
    static constexpr double kBrakeRelease = 0.8;

    explicit ForceModel(const ForceLimits& limits) : limits_(limits) {}

    // command_age_s: how long ago the commanded force was last set.
    ForceResult Compute(const Vec3& command, double command_age_s, const Effect* effects,
                        std::size_t count, const Vec3& x, const Vec3& v);

private:
    ForceLimits limits_;
    bool braking_ = false;
    bool stale_ = false;
};

}  // namespace Orvane::HardwareAPI::Haptics
