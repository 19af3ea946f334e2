// The force the servo loop sends, from the arm's state, the commanded force and the
// effects, with the limits that keep the arm safe. Pure computation: no clock, no port.
#pragma once

#include <cstddef>
#include <limits>
#include <string>

#include "Orvane/HardwareAPI/Effects.h"

namespace Orvane::HardwareAPI::Haptics {

struct ForceLimits {
    double max_force = 5.0;
    double watchdog_s = 0.1;  // infinity: the commanded force never goes stale
    double watchdog_ramp_s = 0.05;
    double max_speed = std::numeric_limits<double>::infinity();  // infinity: never brake
    double brake_damping = 10.0;
};

// The largest max_force taken: the arm is sent single-precision floats, and far below their
// range a clamped force is still exact to the last bit.
inline constexpr double kMaxForceLimit = 1e30;

// Empty when the limits can be used; otherwise what is wrong with them.
std::string ForceLimitsProblem(const ForceLimits& limits);

struct ForceResult {
    Vec3 force{};  // exactly the single-precision values that go on the wire
    bool clamped = false;
    bool non_finite = false;
    bool braking = false;
    bool watchdog_tripped = false;  // the commanded force went stale in this cycle
    bool watchdog_holding = false;  // a non-zero commanded force is stale (ramping or out)
    // The part of the touch force that went out: 1, less when the sum it was in was clamped
    // (the clamp shortens the sum along its own direction, so every term by that much), 0
    // when it did not count (braking) or nothing went out.
    double touch_share = 1.0;
};

// One effect's force at position x, velocity v (inf where it is too large for a double);
// a fixture's in the coordinates x and v are given in.
Vec3 EffectForce(const Effect& effect, const Vec3& x, const Vec3& v);

class ForceModel {
public:
    // Below this share of max_speed a braking arm counts as slowed down.
    static constexpr double kBrakeRelease = 0.8;

    // Limits with a problem are taken as near as they can be (max_force at most
    // kMaxForceLimit); check them with ForceLimitsProblem first.
    explicit ForceModel(const ForceLimits& limits);

    // One cycle's force in two stages, Sum then Limit (the servo loop's render pipeline runs
    // them after the scene-side terms).
    // Sum: the commanded force, the effects and `touch`. command_age_s: how long ago the
    // commanded force was last set; the watchdog ramps out the command alone (clamped first,
    // as the arm would get it alone), never what the effects and couplings render.
    // `touch`: the force of the couplings, fixtures and scene, already in the arm's
    // coordinates; like the effects, it gives way to braking. `eased`: for each effect, the
    // share (0 to 1) of its force an effect placed relative to the arm (a spring, a wall)
    // gives while it eases in; nullptr: all of it.
    void Sum(const Vec3& command, double command_age_s, const Effect* effects, std::size_t count,
             const Vec3& x, const Vec3& v, const Vec3& touch = {}, const double* eased = nullptr);
    // Limit: the sum as it may go out: zero when it is not finite, clamped to max_force in
    // its direction, in single precision.
    ForceResult Limit();

    // Both stages at once.
    ForceResult Compute(const Vec3& command, double command_age_s, const Effect* effects,
                        std::size_t count, const Vec3& x, const Vec3& v, const Vec3& touch = {},
                        const double* eased = nullptr) {
        Sum(command, command_age_s, effects, count, x, v, touch, eased);
        return Limit();
    }

private:
    ForceLimits limits_;
    bool braking_ = false;
    bool stale_ = false;
    // The cycle between Sum and Limit: the terms summed as sum_ 2^top_.
    ForceResult out_;
    Vec3 sum_{};
    int top_ = 0;
};

}  // namespace Orvane::HardwareAPI::Haptics
