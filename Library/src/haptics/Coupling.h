// The loop's side of a coupling: it keeps the newest target segment, renders the target at
// each cycle and computes the coupling force. Loop thread only; no allocation.
#pragma once

#include <cstdint>

#include "Orvane/HardwareAPI/Coupling.h"

namespace Orvane::HardwareAPI::Haptics {

// The arm's moving mass at its end effector (kg), lightest way: what a damping that acts a
// cycle late must not overdrive.
inline constexpr double kArmMovingMass = 0.1;

// The largest damping (N s/m at the arm) a loop with cycles period_s long can render without
// the arm's velocity overshooting. The damping acts on the velocity the arm reported a cycle
// earlier and holds for a cycle, so the velocity goes v' = v - (b T / m) v_before, which
// settles without ringing while b T / m stays at or below 1/4.
double StableDamping(double period_s);

// Kind None when the coupling's passivity damping can be rendered stably by a loop of
// period_s (a workspace scale of 1); otherwise BadArgument saying what is wrong, with the bound.
Error CheckPassivity(const CouplingParams& params, double period_s);

class CouplingRenderer {
public:
    // Bounds of the time between target updates the loop interpolates over.
    static constexpr std::int64_t kMinIntervalNs = 500'000;
    static constexpr std::int64_t kMaxIntervalNs = 100'000'000;
    // Before a second update tells the program's pace, a 30 Hz program's.
    static constexpr std::int64_t kFirstIntervalNs = 33'333'333;

    explicit CouplingRenderer(const CouplingParams& params);

    // New gains or limits; the target stays where it is rendered.
    void SetParams(const CouplingParams& params);
    const CouplingParams& Params() const { return params_; }

    // A target update the loop saw at now_ns. Updates not stamped after the last one are
    // late arrivals of older targets and are dropped.
    void Push(const CouplingTarget& target, std::int64_t now_ns);

    // Where the target is rendered at now_ns, and how fast it moves there.
    void TargetAt(std::int64_t now_ns, Vec3& position, Vec3& velocity) const;

    // The force on the arm at x, v this cycle (dt_s long), scaled by share (the soft start),
    // its passivity damping included, before the loop's limits; `scale` is the workspace's,
    // which multiplies a damping's effect on the arm by its square. The state takes it as
    // rendered in full until Rendered says otherwise.
    Vec3 Force(const Vec3& x, const Vec3& v, std::int64_t now_ns, double dt_s, double share = 1.0,
               double scale = 1.0);
    // The part of that force that reached the arm (below 1 when the loop clamped the sum it
    // was in, 0 when none went out): the state and the passivity observer take that part.
    void Rendered(double part);

    const CouplingState& State() const { return state_; }

private:
    CouplingParams params_;
    CouplingState state_;
    // The target moves from start to end over [start_ns, start_ns + interval_ns], then
    // goes on with end_velocity for at most one more interval, then holds.
    Vec3 start_{}, end_{}, end_velocity_{};
    Vec3 coupling_force_{};         // this cycle's, before the loop's limits
    Vec3 damping_force_{};          // this cycle's passivity damping, likewise
    Vec3 last_force_{};             // what reached the arm in the previous cycle
    double damping_ = 0.0;          // the passivity damping in force, eased towards what is needed
    double recent_energy_j_ = 0.0;  // the observed energy, forgetting over kRecentEnergyS
    double yield_ = 0.0;            // the share of the coupling's force given way
    Vec3 smooth_target_v_{};        // the target's velocity, filtered, for the passivity damping
    Vec3 last_slip_{};              // the previous cycle's slip
    double slip_carried_ = 0.0;     // the slip's product with the previous cycle's, averaged
    double slip_power_ = 0.0;       // the slip's square, averaged likewise
    double dissipated_before_ = 0.0;  // state_.dissipated_j before this cycle
    double dissipating_ = 0.0;        // what this cycle's damping takes out, in full
    std::int64_t reversed_ns_ = 0;    // when the coupling's force last turned about; 0: never
    std::int64_t start_ns_ = 0;
    std::int64_t interval_ns_ = kFirstIntervalNs;
    std::int64_t last_stamp_ns_ = 0;
    bool stamped_ = false;
};

}  // namespace Orvane::HardwareAPI::Haptics
