// What the servo loop sends in one cycle, computed in one place and always in this order:
//   1. the workspace map: the arm's state as the scene sees it (clutch and map changes);
//   2. the scene-side terms: couplings, fixtures and the MuJoCo scene, mapped back to the arm;
//   3. the device-side effects, eased in, summed with the commanded force (which the
//      watchdog ramps) and the scene-side force;
//   4. the limits: a non-finite sum sends zero, a large one is clamped in its direction.
// Then the couplings learn the part of their force the arm felt, for their passivity
// accounting. Loop thread only: no allocation, no lock, no clock of its own.
#pragma once

#include <cstdint>

#include "Orvane/HardwareAPI/ServoLoop.h"
#include "haptics/EffectSlots.h"
#include "haptics/ForceModel.h"
#include "haptics/SoftStart.h"
#include "haptics/TouchTable.h"

namespace Orvane::HardwareAPI::Haptics {

class RenderPipeline {
public:
    // nominal_period_s: the span of a cycle before the loop has timed one.
    RenderPipeline(const ForceLimits& limits, TouchTable& touch, double nominal_period_s);

    // Rendering begins: the soft starts count from now_ns.
    void Restart(std::int64_t now_ns);

    // The force for the arm in the state `at` (the newest the arm sent) at now_ns; the
    // commanded force was set at command_set_ns.
    ForceResult Render(const LoopState& at, const Vec3& command, std::int64_t command_set_ns,
                       const EffectTable& table, std::int64_t now_ns);

private:
    ForceModel model_;
    TouchTable& touch_;
    const double nominal_period_s_;
    std::int64_t last_cycle_ns_ = 0;
    // Springs and walls ease in from the loop's start, or from when they were added later,
    // as the couplings and fixtures do: an arm away from a centre is never kicked.
    SoftStart ease_;
};

}  // namespace Orvane::HardwareAPI::Haptics
