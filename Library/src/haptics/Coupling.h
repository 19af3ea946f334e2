// The loop's side of a coupling: it keeps the newest target segment, renders the target at
// each cycle and computes the coupling force. Loop thread only; no allocation.
#pragma once

#include <cstdint>

#include "Orvane/HardwareAPI/Coupling.h"

namespace Orvane::HardwareAPI::Haptics {

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

    // The force on the arm at x, v this cycle (dt_s long), scaled by share (the soft start).
    Vec3 Force(const Vec3& x, const Vec3& v, std::int64_t now_ns, double dt_s, double share = 1.0);

    const CouplingState& State() const { return state_; }

private:
    CouplingParams params_;
    CouplingState state_;
    // The target moves from start to end over [start_ns, start_ns + interval_ns], then
    // goes on with end_velocity for at most one more interval, then holds.
    Vec3 start_{}, end_{}, end_velocity_{};
    Vec3 last_force_{};  // sent in the previous cycle
    std::int64_t start_ns_ = 0;
    std::int64_t interval_ns_ = kFirstIntervalNs;
    std::int64_t last_stamp_ns_ = 0;
    bool stamped_ = false;
};

}  // namespace Orvane::HardwareAPI::Haptics
