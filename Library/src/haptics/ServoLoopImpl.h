// What a ServoLoop holds: the program's side (commands and effects handed over lock-free),
// the arm session, the loop thread's state and the figures it publishes. The facade
// (ServoLoop.cpp) and the loop thread (ServoThread.cpp) share it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "Orvane/HardwareAPI/ServoLoop.h"
#include "haptics/ArmSession.h"
#include "haptics/EffectSlots.h"
#include "haptics/Histogram.h"
#include "haptics/HistoryRing.h"
#include "haptics/LatestValue.h"
#include "haptics/RenderPipeline.h"
#include "haptics/TouchTable.h"
#include "platform/Realtime.h"

namespace Orvane::HardwareAPI::Haptics {

struct Command {
    Vec3 force{};
    std::int64_t set_ns = 0;  // when the program set it; 0: never, counts from the start
};

// As fast as the arm answers counts as the arm's usual 1 kHz.
inline double NominalPeriod(const ServoConfig& c) {
    return c.rate_hz > 0.0 ? 1.0 / c.rate_hz : 0.001;
}

inline ForceLimits LimitsOf(const ServoConfig& c) {
    return {c.max_force, c.watchdog_s, c.watchdog_ramp_s, c.max_speed, c.brake_damping};
}

struct ServoLoop::Impl {
    Impl(const std::string& port_name, const ServoConfig& c)
        : config(c),
          port(port_name),
          owner(Platform::ProcessId()),
          touch(0.5, NominalPeriod(c)),
          pipeline(LimitsOf(c), touch, NominalPeriod(c)),
          // Nothing is set aside for a configuration that cannot run.
          history(CheckConfig(c) ? 0 : c.history) {
        realtime.message = "the loop has not started";
    }

    const ServoConfig config;
    const std::string port;
    const std::uint64_t owner;  // the process that made the loop
    ArmSession arm;
    DeviceInfo info;

    // Start, Stop and the destructor, one at a time.
    std::mutex control;
    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<bool> stop_requested{false};
    std::atomic<bool> closed{false};
    std::atomic<ErrorKind> fault_kind{ErrorKind::None};
    char fault_text[256] = "";  // written once, before `fault_kind` is set

    std::mutex realtime_mutex;
    std::condition_variable realtime_ready;
    bool realtime_known = false;
    RealtimeReport realtime;

    // Start waits on this until the loop's first exchange is over (or the loop ended); the
    // loop thread takes the lock once, after that exchange.
    std::mutex first_reply_mutex;
    std::condition_variable first_reply_ready;
    bool first_exchange_done = false;

    // Writers (SetForce, Add, ...) serialize on this; the loop thread never takes it.
    mutable std::mutex writers;
    Command command_master;
    EffectSlots slots;
    LatestValue<Command> command;
    LatestValue<EffectTable> effects;

    // Readers of the newest state serialize on this; the loop thread never takes it.
    // The writer side belongs to the loop thread, or to Stop when no loop ran.
    mutable std::mutex readers;
    mutable LatestValue<LoopState> state;

    // Couplings, workspace, clutch and scene: writers and readers on its own locks, which
    // the loop thread never takes.
    TouchTable touch;

    // The loop thread's, or Stop's when no loop ran.
    RenderPipeline pipeline;
    LoopState last;

    // Written by the loop thread, read by anyone.
    Histogram period_error;
    Histogram exchange;
    std::atomic<std::uint64_t> cycles{0}, overruns{0}, clamped{0}, watchdog_trips{0}, non_finite{0},
        braking{0};
    std::atomic<std::int64_t> first_reply_ns{0}, last_reply_ns{0};
    std::atomic<std::int64_t> cpu_ns{0}, run_ns{0};
    HistoryRing history;

    bool Foreign() const { return Platform::ProcessId() != owner; }
    bool Faulted() const { return fault_kind.load(std::memory_order_acquire) != ErrorKind::None; }

    // The first fault is the one reported.
    template <typename... Args>
    void Fail(ErrorKind kind, const char* format, Args... args) {
        if (Faulted()) {
            return;
        }
        std::snprintf(fault_text, sizeof fault_text, format, args...);
        fault_kind.store(kind, std::memory_order_release);
    }
    void Fail(const Error& error) { Fail(error.kind, "%s", error.message.c_str()); }

    // Why an acting call cannot act now, or kind None.
    Error Refusal() const;
    // Why Start failed, once the loop has failed: the fault's own kind.
    Error Ended() const;

    void Open();
    void FirstExchangeDone();
    void Run();
    void Cycle(std::int64_t start_ns, std::int64_t period_error_ns, bool& have_state);
    void Publish(const ExchangeResult& reply, const float (&sent)[3], const ForceResult& r,
                 const Vec3& command_force, std::int64_t start_ns, std::int64_t period_error_ns);
    void SendFinalZero(bool read_reply);
    void PublishEffects();
    void Close();
};

}  // namespace Orvane::HardwareAPI::Haptics
