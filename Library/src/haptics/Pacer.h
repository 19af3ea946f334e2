// Paces a thread on a grid of absolute deadlines on the monotonic clock: sleeps to just
// short of each deadline, then watches the clock for the last stretch (a sleeping CPU, a
// halted virtual one most of all, wakes up late). Shared by the servo loop and the handle
// listener; a loop thread owns its pacer.
#pragma once

#include <atomic>
#include <cstdint>

namespace Orvane::HardwareAPI::Haptics {

class Pacer {
public:
    // The thread looks at its stop request at least this often, however slow its rate.
    static constexpr std::int64_t kStopCheckNs = 50'000'000;

    // period_ns 0: no pacing, every Wait returns at once. spin_ns: how long before each
    // deadline the clock is watched instead of slept on (a CPU kept busy that long each
    // period, for wakes that much closer to the deadline).
    Pacer(std::int64_t period_ns, std::int64_t spin_ns) : period_(period_ns), spin_(spin_ns) {}

    // The first deadline is now.
    void Start(std::int64_t now_ns) { deadline_ = due_ = now_ns; }

    // Waits for the current deadline. False when `stop` was set meanwhile; otherwise true
    // with wake_ns the time it woke.
    bool Wait(const std::atomic<bool>& stop, std::int64_t& wake_ns) const;

    // How late the last wake was after the deadline the cycle was due at (0 without
    // pacing): a cycle that comes late because the one before overran counts as late, also
    // when the grid starts afresh behind it.
    std::int64_t Lateness(std::int64_t wake_ns) const { return period_ != 0 ? wake_ns - due_ : 0; }

    // Moves to the next deadline; true when the cycle that just ended overran it. More
    // than a whole period behind, the grid starts afresh rather than rushing through the
    // missed cycles.
    bool Advance(std::int64_t now_ns);

    std::int64_t Period() const { return period_; }

private:
    std::int64_t period_;
    std::int64_t spin_;
    std::int64_t deadline_ = 0;
    std::int64_t due_ = 0;  // deadline_, or the one missed when the grid started afresh
};

}  // namespace Orvane::HardwareAPI::Haptics
