#include "haptics/RenderPipeline.h"

#include <algorithm>

namespace Orvane::HardwareAPI::Haptics {
namespace {

// The span of one cycle as couplings see it.
constexpr double kMinTouchDt = 1e-6;
constexpr double kMaxTouchDt = 0.1;

double Seconds(std::int64_t ns) {
    return static_cast<double>(ns) / 1e9;
}

}  // namespace

RenderPipeline::RenderPipeline(const ForceLimits& limits, TouchTable& touch,
                               double nominal_period_s)
    : model_(limits), touch_(touch), nominal_period_s_(nominal_period_s) {}

void RenderPipeline::Restart(std::int64_t now_ns) {
    touch_.Restart(now_ns);
    ease_.Restart(now_ns);
}

ForceResult RenderPipeline::Render(const LoopState& at, const Vec3& command,
                                   std::int64_t command_set_ns, const EffectTable& table,
                                   std::int64_t now_ns) {
    // The couplings' damping and passivity work on the time the cycle really took, within
    // bounds that a stalled or first cycle cannot push out of range.
    const double span = last_cycle_ns_ != 0 ? Seconds(now_ns - last_cycle_ns_) : nominal_period_s_;
    const double dt = std::clamp(span, kMinTouchDt, kMaxTouchDt);
    last_cycle_ns_ = now_ns;

    const TouchTable::SceneState in_scene = touch_.ToScene(at.position, at.velocity, now_ns);

    Vec3 scene_force{};
    touch_.SceneForce(in_scene, now_ns, dt, table.fixtures.data(), table.fixture_count,
                      scene_force);

    double eased[ServoLoop::kMaxEffects];
    for (std::size_t i = 0; i < table.count; ++i) {
        eased[i] = ease_.Share(std::max(ease_.Started(), table.added_ns[i]), now_ns);
    }
    model_.Sum(command, Seconds(now_ns - command_set_ns), table.effects.data(), table.count,
               at.position, at.velocity, scene_force, eased);

    const ForceResult r = model_.Limit();
    // What the couplings' observers count is what the arm felt: after the clamp, and
    // nothing while braking or for a sum that was not finite.
    touch_.Rendered(r.touch_share);
    return r;
}

}  // namespace Orvane::HardwareAPI::Haptics
