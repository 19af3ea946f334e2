#include "haptics/Coupling.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "haptics/Vectors.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

using namespace Vectors;

bool NotNegative(double v) {
    return std::isfinite(v) && v >= 0.0;
}

Error Bad(std::string text) {
    return {ErrorKind::BadArgument, std::move(text)};
}

// Below this squared speed (m²/s²) the arm barely moves and no energy flows worth damping.
constexpr double kStillSpeed2 = 1e-12;
// The passivity damping goes from none to its most (and back) over no less than this, so
// it never switches the force from one cycle to the next.
constexpr double kDampingRampS = 0.02;
// The time constant of the target velocity the passivity damping works against.
constexpr double kTargetVelocityFilterS = 0.004;
// The energy the arm drew lately: what it drew over about this long. A debt run up in an
// impact long past leaves it, so a steady contact afterwards is not taken for a delay that
// keeps pumping.
constexpr double kRecentEnergyS = 0.5;
// While the arm swings about its target (the coupling's force turned about within
// kSwingNs), has drawn more than kYieldDebtJ lately and the damping is at kYieldDamping of
// its most or more, the delay pumps faster than the damping takes out: the coupling gives
// way, by at most kMostYield of its force, eased over kYieldRampS both ways. The damping
// fades as it does: a damping on the velocity against a target that long late leads the
// motion, and with it the loop settles into a faster swing (twice the force reversals of
// no passivity at all, at 100 ms) rather than a smaller one. A steady push draws nothing,
// and an arm a moving target drags along never swings: neither makes it give way.
constexpr double kYieldDebtJ = 0.03;
constexpr double kYieldDamping = 0.5;
constexpr std::int64_t kSwingNs = 1'000'000'000;
constexpr double kMostYield = 0.9;
constexpr double kYieldRampS = 0.1;
// How much of the slip is motion rather than the velocity's noise: a motion carries over
// from one cycle to the next, a measurement's noise does not, so the slip's product with the
// previous cycle's, against its square, both averaged over kCoherenceS, is near 1 for a
// motion and near 0 for noise alone. A damping on noise takes out no energy (the force it
// adds is gone before the arm answers it) and only shakes the force about, so the damping
// wanted fades to none between kMotionShare and twice that.
constexpr double kCoherenceS = 0.02;
constexpr double kMotionShare = 0.3;

}  // namespace

double StableDamping(double period_s) {
    return kArmMovingMass / (4.0 * period_s);
}

Error CheckPassivity(const CouplingParams& p, double period_s) {
    const double bound = StableDamping(period_s);
    if (!p.passivity || p.passivity_max_damping <= bound) {
        return {};
    }
    char text[300];
    std::snprintf(text, sizeof text,
                  "coupling: passivity_max_damping %g N s/m is more than a loop at %g Hz renders "
                  "without the arm overshooting: at most %g N s/m (a quarter of the arm's %g kg "
                  "moving mass per cycle)",
                  p.passivity_max_damping, 1.0 / period_s, bound, kArmMovingMass);
    return Bad(text);
}

Error CheckCoupling(const CouplingParams& p) {
    if (!Finite(p.target)) {
        return Bad("coupling: the target must be finite");
    }
    if (!NotNegative(p.stiffness) || !NotNegative(p.damping)) {
        return Bad("coupling: stiffness and damping must be finite numbers, 0 or more");
    }
    if (!NotNegative(p.max_force)) {
        return Bad("coupling: max_force must be a finite number, 0 (no limit of its own) or more");
    }
    if (!NotNegative(p.passivity_max_damping)) {
        return Bad("coupling: passivity_max_damping must be a finite number, 0 or more");
    }
    return {};
}

Error CheckTarget(const CouplingTarget& t) {
    if (!Finite(t.position) || !Finite(t.velocity)) {
        return Bad("coupling: the target's position and velocity must be finite");
    }
    if (t.stamp_ns <= 0) {
        return Bad("coupling: the target's time stamp must be a reading of the monotonic clock");
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
                             double share, double scale) {
    Vec3 target, target_v;
    TargetAt(now_ns, target, target_v);
    const Vec3 offset = Difference(target, x);
    Vec3 force =
        Sum(Scaled(offset, params_.stiffness), Scaled(Difference(target_v, v), params_.damping));
    force = Scaled(Limited(force, params_.max_force), share);
    coupling_force_ = force;
    damping_force_ = {};
    dissipated_before_ = state_.dissipated_j;
    dissipating_ = 0.0;
    // The velocity the program gave with its target, while the target is rendered moving.
    const Vec3 stated = now_ns - start_ns_ < 2 * interval_ns_ ? end_velocity_ : Vec3{};

    if (params_.passivity && Finite(v) && dt_s > 0.0) {
        // The energy the arm put in over the last cycle: it pushed back on what it felt then
        // with the velocity that force led to.
        const double drawn = Dot(last_force_, v) * dt_s;
        state_.observed_energy_j -= drawn;
        const double forget = std::min(1.0, dt_s / kRecentEnergyS);
        recent_energy_j_ -= drawn + recent_energy_j_ * forget;
        // Damping the arm feels as b scale^2: kept where a cycle-late damping cannot ring.
        const double most = std::min(params_.passivity_max_damping,
                                     StableDamping(dt_s) / std::max(scale * scale, 1e-300));
        // On the velocity relative to the target, as the coupling's own damping: a damping of
        // the arm against the ground would slow the arm and so add to the lag that a delayed
        // target already puts in the loop. The target's velocity is the one the program gave
        // with it (while it is rendered moving), not the step over the gap between time
        // stamps: updates that arrive in bursts are stamped fractions of a millisecond apart,
        // and a damping on that speed would kick the arm. Filtered, as it jumps with each.
        const double blend = dt_s / (kTargetVelocityFilterS + dt_s);
        smooth_target_v_ =
            Sum(smooth_target_v_, Scaled(Difference(stated, smooth_target_v_), blend));
        const Vec3 slip = Difference(smooth_target_v_, v);
        const double slip2 = Dot(slip, slip);
        const double average = std::min(1.0, dt_s / kCoherenceS);
        slip_carried_ += (Dot(slip, last_slip_) - slip_carried_) * average;
        slip_power_ += (slip2 - slip_power_) * average;
        last_slip_ = slip;
        const double motion = slip_power_ > 0.0 ? slip_carried_ / slip_power_ : 0.0;
        const double moving = std::clamp(motion / kMotionShare - 1.0, 0.0, 1.0);
        double wanted = 0.0;
        if (state_.observed_energy_j < 0.0 && slip2 > kStillSpeed2) {
            // Enough to pay the debt back within a cycle, as far as the bound allows.
            wanted = moving * std::min(-state_.observed_energy_j / (slip2 * dt_s), most);
        }
        // Eased in and out: a damping that jumps would make the force chatter.
        const double step = most * dt_s / kDampingRampS;
        damping_ = std::clamp(std::clamp(wanted, damping_ - step, damping_ + step), 0.0, most);
        // A reversal of the coupling's force: the arm swings about its target rather than being
        // dragged along by it (the energy a moving target gives the arm it drags is no delay's).
        if (Dot(force, last_force_) < 0.0) {
            reversed_ns_ = now_ns;
        }
        const bool swinging = reversed_ns_ != 0 && now_ns - reversed_ns_ < kSwingNs;
        const bool overdrawn =
            swinging && recent_energy_j_ < -kYieldDebtJ && damping_ >= kYieldDamping * most;
        const double yield_step = kMostYield * dt_s / kYieldRampS;
        yield_ = std::clamp(yield_ + (overdrawn ? yield_step : -yield_step), 0.0, kMostYield);
        if (damping_ > 0.0 || yield_ > 0.0) {
            const double damping = damping_ * (1.0 - yield_ / kMostYield);
            coupling_force_ = Scaled(coupling_force_, 1.0 - yield_);
            damping_force_ = Scaled(slip, damping);
            dissipating_ = damping * slip2 * dt_s;
            ++state_.passivity_cycles;
        }
    } else {
        damping_ = 0.0;
        yield_ = 0.0;
        recent_energy_j_ = 0.0;
        reversed_ns_ = 0;
        smooth_target_v_ = stated;
        last_slip_ = {};
        slip_carried_ = 0.0;
        slip_power_ = 0.0;
    }
    state_.target = target;
    state_.offset = offset;
    Rendered(1.0);
    return state_.force;
}

void CouplingRenderer::Rendered(double part) {
    const Vec3 total = Limited(Sum(coupling_force_, damping_force_), params_.max_force);
    const bool felt = part > 0.0 && Finite(total);
    // Nothing of it went out (or it could not have): the arm felt nothing.
    state_.force = felt ? Scaled(total, part) : Vec3{};
    last_force_ = state_.force;
    // What the damping takes out over the coming cycle, as far as it went out; the observer
    // sees it there, in the force the arm felt.
    state_.dissipated_j = dissipated_before_ + (felt ? part * dissipating_ : 0.0);
}

}  // namespace Orvane::HardwareAPI::Haptics
