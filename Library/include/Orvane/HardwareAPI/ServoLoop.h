// A force loop for the arm on its own native thread: each cycle it sends a force request
// and reads the state reply, paced by absolute deadlines on the monotonic clock, and
// computes the next force from the newest state, the commanded force and the effects.
// Every call below may come from any thread and returns at once (Start and Stop wait for
// the loop thread); none of them ever makes the loop thread wait.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "Coupling.h"
#include "DeviceInfo.h"
#include "Effects.h"
#include "Error.h"
#include "Workspace.h"

namespace Orvane::HardwareAPI::Haptics {

class MujocoScene;

// Turns a safety setting off (the watchdog, the speed limit). 0 never does: it is refused.
inline constexpr double kOff = std::numeric_limits<double>::infinity();

struct ServoConfig {
    // 0: as fast as the arm answers; otherwise up to kMaxRateHz, and with the watchdog on
    // at least one cycle per watchdog_s (a slower loop could not stop a stale force).
    double rate_hz = 1000.0;
    double max_force = 5.0;  // N; the norm of every force sent stays at or below it
    // A commanded force not set again within this ramps to zero: above 0, at most
    // kMaxWatchdogS, or kOff. With it on, reply_timeout_s and one period must fit in it.
    double watchdog_s = 0.1;
    double watchdog_ramp_s = 0.05;  // how long that ramp takes, at most kMaxWatchdogRampS
    // m/s; above it the loop brakes (damping only): above 0, at most kMaxSpeedLimit, or kOff.
    double max_speed = kOff;
    double brake_damping = 10.0;  // N s/m while braking, above 0 and at most kMaxBrakeDamping
    std::size_t history = 0;      // cycles kept for History(); 0: none, at most kMaxHistory
    bool realtime = true;         // ask for real-time priority and locked memory
    // Each exchange (request out, whole state reply in) ends by this; a late, short or
    // wrong reply ends the loop with a fault. The arm holds the last force that long, so
    // with the watchdog on it must end, with one period, within watchdog_s.
    double reply_timeout_s = 0.09;
    // How long before each deadline the loop watches the clock instead of sleeping: wakes
    // closer to the deadline for that much CPU time each cycle.
    double spin_us = 50.0;
};

inline constexpr double kMaxRateHz = 100'000.0;
inline constexpr double kMinRateHz = 0.01;
inline constexpr std::size_t kMaxHistory = 1'000'000;
inline constexpr double kMaxSpinUs = 10'000.0;
inline constexpr double kMaxWatchdogS = 60.0;
inline constexpr double kMaxWatchdogRampS = 1.0;
inline constexpr double kMaxSpeedLimit = 10.0;
inline constexpr double kMaxBrakeDamping = 1000.0;

// Kind None when the configuration can run; otherwise BadArgument saying what is wrong.
Error CheckConfig(const ServoConfig& config);

// What the loop thread got from the system when it asked for real-time treatment.
struct RealtimeReport {
    std::string scheduler;  // "SCHED_FIFO", "SCHED_OTHER", ...
    int priority = 0;
    bool memory_locked = false;
    std::string message;  // why not, when it did not get what it asked for
};

// One cycle: when it ran (s since Start), its number, the arm's state from the reply and
// the force that went out in the request.
struct LoopState {
    double time = 0.0;
    std::uint64_t sequence = 0;
    Vec3 position{};
    Vec3 velocity{};
    Vec3 force{};
};

struct HistoryRecord {
    // What a cycle's force went through on its way out (bits of `flags`).
    static constexpr std::uint32_t kClamped = 1, kWatchdog = 2, kBraking = 4, kNonFinite = 8;

    LoopState state;
    double period_error_us = 0.0;
    double exchange_us = 0.0;
    Vec3 commanded{};  // the force the program had set, before the limits
    std::uint32_t flags = 0;
};

struct Percentiles {
    double p50 = 0.0, p99 = 0.0, p999 = 0.0, max = 0.0;
};

struct LoopStats {
    double rate_hz = 0.0;  // achieved
    std::uint64_t cycles = 0;
    Percentiles period_error_us;  // how late each cycle woke after its deadline
    Percentiles exchange_us;      // request written to reply read
    std::uint64_t overruns = 0;   // cycles that ended after the next deadline
    std::uint64_t clamped = 0;
    std::uint64_t watchdog_trips = 0;
    std::uint64_t non_finite = 0;
    std::uint64_t braking = 0;           // cycles spent braking
    double cpu_share = 0.0;              // the loop thread's CPU time over its running time
    std::uint64_t passivity_cycles = 0;  // coupling cycles in which passivity damping acted
    std::uint64_t scene_overruns = 0;    // scene steps that took longer than one period
};

// Names an effect in the loop; 0 names none.
using EffectId = std::uint32_t;

// Every call that acts on the loop reports failures as an Error; none throws. In a process
// forked from the one that made the loop, the loop is not running, every acting call
// returns NotRunning, and destroying it leaves the port as the parent has it.
class ServoLoop {
public:
    static constexpr std::size_t kMaxEffects = 32;

    // Opens the port, wakes the arm and reads its state (a zero-force request), so State()
    // tells where the arm is from here on. On failure Fault() says why and nothing else
    // works.
    explicit ServoLoop(const std::string& port, const ServoConfig& config = {});
    ServoLoop(const ServoLoop&) = delete;
    ServoLoop& operator=(const ServoLoop&) = delete;
    // Stops the loop (zero force) and closes the port.
    ~ServoLoop();

    // Starts the loop thread and returns once the loop's first exchange brought the arm's
    // state (within reply_timeout_s); when it did not, the loop has ended (zero force sent,
    // port closed) and the error says why. NotRunning after a fault or a Stop; OutOfResources
    // (and the loop ended) when the system refuses the loop its thread.
    Error Start();
    // Ends the loop, sends zero force and closes the port. Safe to call again.
    void Stop();

    bool Running() const;
    // Kind None while all is well; otherwise why the loop ended or could not begin. After
    // a fault the loop has sent zero force and closed the port.
    Error Fault() const;
    bool Closed() const;  // after Stop or a fault

    const DeviceInfo& Info() const;
    const ServoConfig& Config() const;
    // Filled once the loop thread has started.
    RealtimeReport Realtime() const;

    // The force's age for the watchdog counts from this call. NotRunning after Stop or a
    // fault.
    Error SetForce(const Vec3& force);
    Vec3 Force() const;

    // BadArgument for an effect that cannot be rendered, or when the table is full;
    // NotRunning after Stop or a fault. The effect is kept normalised (unit normals).
    Error Add(const Effect& effect, EffectId& id);
    // NotFound when the id names no effect (removed, or never added).
    Error Update(EffectId id, const Effect& effect);
    // NotFound when the id names no effect. Works after Stop or a fault too.
    Error Remove(EffectId id);
    bool Active(EffectId id) const;
    // The effect's current parameters; NotFound when it is not active.
    Error Get(EffectId id, Effect& effect) const;

    // Couplings (at most kMaxCouplings): BadArgument for values that cannot be rendered,
    // NotFound for an id that names no coupling, NotRunning after Stop or a fault.
    static constexpr std::size_t kMaxCouplings = 8;
    Error AddCoupling(const CouplingParams& params, CouplingId& id);
    Error SetCouplingParams(CouplingId id, const CouplingParams& params);
    Error MoveCouplingTarget(CouplingId id, const CouplingTarget& target);
    // New parameters and a new target together: both are checked before either applies, and
    // the loop renders them from the same cycle on.
    Error ChangeCoupling(CouplingId id, const CouplingParams& params, const CouplingTarget& target);
    // NotFound when the id names no coupling. Works after Stop or a fault too.
    Error RemoveCoupling(CouplingId id);
    // What the coupling did in the loop's last cycle; NotFound when it names no coupling.
    Error CouplingStateOf(CouplingId id, CouplingState& state) const;

    // How couplings, fixtures and the scene see the arm: scene = scale R x + offset.
    Error SetWorkspace(const WorkspaceMap& map);
    WorkspaceMap Workspace() const;
    // Engaged: the arm moves freely while the scene side holds still; released: the map is
    // re-based so the scene goes on from where it is, its forces eased back in.
    Error Clutch(bool engaged);
    bool Clutched() const;

    // The MuJoCo scene stepped on every cycle (one at a time); nullptr takes it out. The
    // loop holds it until its thread has let go of it.
    Error SetScene(std::shared_ptr<MujocoScene> scene);
    std::shared_ptr<MujocoScene> Scene() const;

    // The newest state the arm sent: the opening one (sequence 0) until the loop's first
    // cycle. All zeros only for a loop that never opened (Fault() says why).
    LoopState State() const;
    LoopStats Stats() const;
    // The last cycles, oldest first (at most Config().history of them).
    std::vector<HistoryRecord> History() const;
    // The cycles after the one numbered `after_sequence`, oldest first, for a reader that
    // drains the loop as it goes (a recorder); `lost` says how many of them the ring no
    // longer held. Needs Config().history large enough to outlast the reader's pauses.
    std::vector<HistoryRecord> HistoryAfter(std::uint64_t after_sequence,
                                            std::uint64_t& lost) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Stops every servo loop of this process that is not destroyed yet, each as Stop() does
// (the arm gets zero force, the port closes): for a program's exit handler. Loops of a
// parent process, in a forked child, are left alone.
void StopAllServoLoops();

}  // namespace Orvane::HardwareAPI::Haptics
