#include "haptics/Coupling.h"

#include <algorithm>
#include <cmath>

#include "haptics/Vectors.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

using namespace Vectors;

bool NotNegative(double v) {
    return std::isfinite(v) && v >= 0.0;
}

// Below this squared speed (m²/s²) the arm barely moves and no energy flows worth damping.
constexpr double kStillSpeed2 = 1e-12;

}  // namespace

std::string CouplingProblem(const CouplingParams& p) {
    if (!Finite(p.target)) {
        return "coupling: the target must be finite";
    }
    if (!NotNegative(p.stiffness) || !NotNegative(p.damping)) {
        return "coupling: stiffness and damping must be finite numbers, 0 or more";
    }
    if (!NotNegative(p.max_force)) {
        return "coupling: max_force must be a finite number, 0 (no limit of its own) or more";
    }
    if (!NotNegative(p.passivity_max_damping)) {
        return "coupling: passivity_max_damping must be a finite number, 0 or more";
    }
    return {};
}

std::string TargetProblem(const CouplingTarget& t) {
    if (!Finite(t.position) || !Finite(t.velocity)) {
        return "coupling: the target's position and velocity must be finite";
    }
    if (t.stamp_ns <= 0) {
        return "coupling: the target's time stamp must be a reading of the monotonic clock";
    }
    return {};
}

CouplingRenderer::CouplingRenderer(const CouplingParams& params)
    : params_(params), start_(params.target), end_(params.target) {
    state_.target = params.target;
}

void CouplingRenderer::SetParams(const CouplingParams& params) {
    params_ = params;
}

void CouplingRenderer::TargetAt(std::int64_t now_ns, Vec3& position, Vec3& velocity) const {
    const std::int64_t tau = std::max<std::int64_t>(0, now_ns - start_ns_);
    const double interval = static_cast<double>(interval_ns_);
    if (tau <= interval_ns_) {
        const Vec3 step = Difference(end_, start_);
        position = Sum(start_, Scaled(step, static_cast<double>(tau) / interval));
        velocity = Scaled(step, 1e9 / interval);
        return;
    }
    const std::int64_t ahead = std::min(tau - interval_ns_, interval_ns_);
    position = Sum(end_, Scaled(end_velocity_, static_cast<double>(ahead) * 1e-9));
    velocity = ahead < interval_ns_ ? end_velocity_ : Vec3{};
}

void CouplingRenderer::Push(const CouplingTarget& target, std::int64_t now_ns) {
    if (stamped_ && target.stamp_ns <= last_stamp_ns_) {
        return;
    }
    // The new segment starts where the target is rendered now, so a late, early or
    // extrapolated-past update never makes it jump.
    Vec3 here, ignored;
    TargetAt(now_ns, here, ignored);
    interval_ns_ =
        stamped_ ? std::clamp(target.stamp_ns - last_stamp_ns_, kMinIntervalNs, kMaxIntervalNs)
                 : kFirstIntervalNs;
    start_ = here;
    end_ = target.position;
    end_velocity_ = target.velocity;
    start_ns_ = now_ns;
    last_stamp_ns_ = target.stamp_ns;
    stamped_ = true;
}

Vec3 CouplingRenderer::Force(const Vec3& x, const Vec3& v, std::int64_t now_ns, double dt_s,
                             double share) {
    Vec3 target, target_v;
    TargetAt(now_ns, target, target_v);
    const Vec3 offset = Difference(target, x);
    Vec3 force =
        Sum(Scaled(offset, params_.stiffness), Scaled(Difference(target_v, v), params_.damping));
    force = Scaled(Limited(force, params_.max_force), share);
    // The proxy takes the opposite of the coupling's force alone: the passivity damping
    // below holds the arm against the ground, not against the proxy.
    state_.force = force;

    if (params_.passivity && Finite(force) && Finite(v) && dt_s > 0.0) {
        // The energy the arm put in over the last cycle: it pushed back on the force sent
        // then (the passivity damping included) with the velocity that force led to.
        state_.observed_energy_j -= Dot(last_force_, v) * dt_s;
        const double speed2 = Dot(v, v);
        if (state_.observed_energy_j < 0.0 && speed2 > kStillSpeed2) {
            // While in debt the coupling may not push along the arm's motion at all:
            // dropping that part of the force never makes the force larger...
            const double power = Dot(force, v);
            if (power > 0.0) {
                force = Difference(force, Scaled(v, power / speed2));
            }
            // ...and damping within its bound pays the debt back.
            const double needed = -state_.observed_energy_j / (speed2 * dt_s);
            const double alpha = std::min(needed, params_.passivity_max_damping);
            force = Difference(force, Scaled(v, alpha));
            // What that damping takes out over the coming cycle; the observer sees it there,
            // in the force sent.
            state_.dissipated_j += alpha * speed2 * dt_s;
            ++state_.passivity_cycles;
        }
    }
    last_force_ = Finite(force) ? force : Vec3{};
    state_.target = target;
    state_.offset = offset;
    return force;
}

}  // namespace Orvane::HardwareAPI::Haptics
