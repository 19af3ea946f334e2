// The loop thread: each cycle reads what the program and the arm last said, computes the
// force, writes it and takes the arm's answer, then sleeps to its next deadline.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "haptics/Pacer.h"
#include "haptics/ServoLoopImpl.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
// How often (in cycles) the loop reads its own CPU time: a system call on most systems.
constexpr std::uint64_t kCpuSampleCycles = 256;

double Seconds(std::int64_t ns) {
    return static_cast<double>(ns) / kNsPerSecond;
}

void Bump(std::atomic<std::uint64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

Vec3 ToVec3(const float v[3]) {
    return {v[0], v[1], v[2]};
}

}  // namespace

void ServoLoop::Impl::FirstExchangeDone() {
    {
        std::lock_guard<std::mutex> hold(first_reply_mutex);
        if (first_exchange_done) {
            return;
        }
        first_exchange_done = true;
    }
    first_reply_ready.notify_all();
}

void ServoLoop::Impl::Cycle(std::int64_t start_ns, std::int64_t period_error_ns, bool& have_state) {
    // Read: the program's newest command and effects, beside the arm's last state.
    command.Update();
    effects.Update();
    const Command& c = command.Front();

    // Compute: until the first reply says where the arm is, nothing can be rendered.
    const ForceResult r = have_state
                              ? pipeline.Render(last, c.force, c.set_ns != 0 ? c.set_ns : start_ns,
                                                effects.Front(), Platform::MonotonicNs())
                              : ForceResult{};

    // Write, and take the arm's answer: its state for the next cycle.
    const float out[3] = {static_cast<float>(r.force[0]), static_cast<float>(r.force[1]),
                          static_cast<float>(r.force[2])};
    const ExchangeResult reply = arm.Link().Exchange(out);
    exchange.Record(static_cast<std::uint64_t>(reply.elapsed_ns));
    period_error.Record(static_cast<std::uint64_t>(std::max<std::int64_t>(period_error_ns, 0)));
    if (reply.outcome != ExchangeOutcome::Replied) {
        char why[200];
        Describe(reply, config.reply_timeout_s, why, sizeof why);
        Fail(ErrorKind::DeviceLost, "%s", why);
        return;
    }
    have_state = true;
    Publish(reply, out, r, c.force, start_ns, period_error_ns);
}

// The cycle's state, counters and history record, for readers on any thread.
void ServoLoop::Impl::Publish(const ExchangeResult& reply, const float (&sent)[3],
                              const ForceResult& r, const Vec3& command_force,
                              std::int64_t start_ns, std::int64_t period_error_ns) {
    const std::int64_t reply_ns = Platform::MonotonicNs();
    LoopState& s = last;
    s.time = Seconds(reply_ns - start_ns);
    s.sequence = cycles.load(std::memory_order_relaxed) + 1;
    s.position = ToVec3(reply.position);
    s.velocity = ToVec3(reply.velocity);
    s.force = ToVec3(sent);  // exactly what went out
    state.Write(s);

    if (r.clamped) {
        Bump(clamped);
    }
    if (r.non_finite) {
        Bump(non_finite);
    }
    if (r.watchdog_tripped) {
        Bump(watchdog_trips);
    }
    if (r.braking) {
        Bump(braking);
    }
    if (first_reply_ns.load(std::memory_order_relaxed) == 0) {
        first_reply_ns.store(reply_ns, std::memory_order_relaxed);
    }
    last_reply_ns.store(reply_ns, std::memory_order_relaxed);
    HistoryRecord record{s, Seconds(period_error_ns) * 1e6, Seconds(reply.elapsed_ns) * 1e6,
                         command_force, 0};
    record.flags = (r.clamped ? HistoryRecord::kClamped : 0) |
                   (r.watchdog_holding ? HistoryRecord::kWatchdog : 0) |
                   (r.braking ? HistoryRecord::kBraking : 0) |
                   (r.non_finite ? HistoryRecord::kNonFinite : 0);
    history.Push(record);
    cycles.store(s.sequence, std::memory_order_release);
}

void ServoLoop::Impl::Run() {
    Platform::RealtimeGrant grant;
    if (config.realtime) {
        grant = Platform::EnterRealtime();
    } else {
        std::snprintf(grant.scheduler, sizeof grant.scheduler, "default");
        std::snprintf(grant.message, sizeof grant.message, "not asked for (realtime off)");
    }
    {
        std::lock_guard<std::mutex> hold(realtime_mutex);
        realtime =
            RealtimeReport{grant.scheduler, grant.priority, grant.memory_locked, grant.message};
        realtime_known = true;
    }
    realtime_ready.notify_all();

    // The configuration check keeps the period within 10 us .. 100 s.
    const std::int64_t period =
        config.rate_hz > 0.0 ? std::llround(static_cast<double>(kNsPerSecond) / config.rate_hz) : 0;
    Pacer pacer(period, std::llround(config.spin_us * 1e3));
    const std::int64_t start_ns = Platform::MonotonicNs();
    const std::int64_t cpu_start = Platform::ThreadCpuNs();
    pacer.Start(start_ns);
    pipeline.Restart(start_ns);
    bool have_state = false;

    std::int64_t wake = 0;
    std::uint64_t n = 0;
    while (pacer.Wait(stop_requested, wake)) {
        Cycle(start_ns, pacer.Lateness(wake), have_state);
        if (n == 0) {
            FirstExchangeDone();
        }
        if (Faulted()) {
            break;
        }
        const std::int64_t now = Platform::MonotonicNs();
        if (++n % kCpuSampleCycles == 0) {
            cpu_ns.store(Platform::ThreadCpuNs() - cpu_start, std::memory_order_relaxed);
            run_ns.store(now - start_ns, std::memory_order_relaxed);
        }
        if (pacer.Advance(now)) {
            Bump(overruns);
        }
    }
    cpu_ns.store(Platform::ThreadCpuNs() - cpu_start, std::memory_order_relaxed);
    run_ns.store(Platform::MonotonicNs() - start_ns, std::memory_order_relaxed);

    const bool faulted = Faulted();
    SendFinalZero(!faulted);
    touch.LoopEnded();
    if (config.realtime) {
        Platform::LeaveRealtime(grant);
    }
    // A failed loop gives its port back at once, so a new loop can take it.
    if (faulted) {
        Close();
    }
    running.store(false);
    FirstExchangeDone();  // a loop stopped before its first cycle
}

}  // namespace Orvane::HardwareAPI::Haptics
