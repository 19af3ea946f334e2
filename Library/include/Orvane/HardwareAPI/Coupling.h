// A virtual coupling: a spring-damper between the arm and a target that a program moves at
// its own pace (a proxy in its own simulation, 30 Hz to 1 kHz). The loop renders the target
// smoothly between the program's time-stamped updates, and reports what the coupling did
// so the program can apply the opposite force to its proxy.
#pragma once

#include <cstdint>

#include "Clock.h"
#include "Effects.h"
#include "Error.h"

namespace Orvane::HardwareAPI::Haptics {

// Names a coupling in a servo loop; 0 names none.
using CouplingId = std::uint32_t;

struct CouplingParams {
    Vec3 target{};           // m, where the target starts
    double stiffness = 0.0;  // N/m
    double damping = 0.0;    // N s/m, on the velocity relative to the target's
    double max_force = 0.0;  // N, a limit of the coupling's own; 0: only the loop's limit
    // With passivity on, the coupling never gives the arm more energy than the arm gave it:
    // when the energy observed turns negative it eases in more damping (on the velocity
    // relative to the target, as `damping`), up to passivity_max_damping, over tens of
    // milliseconds, never from one cycle to the next, and only while the arm moves against
    // the target more than its velocity's noise. When a long delay keeps the arm
    // swinging faster than that damping takes the energy out, the coupling gives way (to a
    // tenth of its force at most, over a tenth of a second) until it stops. The loop refuses
    // more than it can render without the arm's velocity overshooting between cycles: a quarter of
    // the arm's moving mass per cycle (25 N s/m at 1 kHz, scene units at a workspace scale of 1).
    bool passivity = false;
    double passivity_max_damping = 20.0;  // N s/m
};

// One move of the target: where it is, how fast it goes, and when (ns on the monotonic
// clock, as the program's clock read it when it computed the target).
struct CouplingTarget {
    Vec3 position{};
    Vec3 velocity{};
    std::int64_t stamp_ns = 0;
};

struct CouplingState {
    Vec3 target{};  // where the loop rendered the target in its last cycle
    Vec3 offset{};  // from the arm to that target
    // The coupling's force as the arm felt it, in scene coordinates: its share of the force
    // that went out, after the loop's clamp and the workspace map (zero while the clutch is
    // held or the loop brakes). It never exceeds the coupling's max_force, and mapped to the
    // arm (scale R^T force) never the loop's. The passivity damping is part of it. The proxy
    // takes the opposite.
    Vec3 force{};
    // The energy the arm put in so far, less what it got back, from the force it felt.
    double observed_energy_j = 0.0;
    std::uint64_t passivity_cycles = 0;  // cycles in which the passivity damping acted
    double dissipated_j = 0.0;           // the energy that damping took out
};

// Kind None when the values can be used; otherwise BadArgument saying what is wrong.
Error CheckCoupling(const CouplingParams& params);
Error CheckTarget(const CouplingTarget& target);

}  // namespace Orvane::HardwareAPI::Haptics
