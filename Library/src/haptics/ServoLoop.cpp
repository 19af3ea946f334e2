#include "Orvane/HardwareAPI/ServoLoop.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "Orvane/HardwareAPI/MujocoScene.h"
#include "Orvane/HardwareAPI/SerialStream.h"
#include "Orvane/HardwareAPI/Varnix3.h"
#include "SerialBuffer.h"
#include "haptics/ArmLink.h"
#include "haptics/EffectSlots.h"
#include "haptics/ForceModel.h"
#include "haptics/Histogram.h"
#include "haptics/HistoryRing.h"
#include "haptics/LatestValue.h"
#include "haptics/Pacer.h"
#include "haptics/SoftStart.h"
#include "haptics/TouchTable.h"
#include "platform/Platform.h"
#include "platform/Realtime.h"
#include "platform/ZeroGuardProcess.h"
#include "platform/ZeroOnSignal.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
// How often (in cycles) the loop reads its own CPU time: a system call on most systems.
constexpr std::uint64_t kCpuSampleCycles = 256;
// The span of one cycle as couplings see it.
constexpr double kMinTouchDt = 1e-6;
constexpr double kMaxTouchDt = 0.1;

struct Command {
    Vec3 force{};
    std::int64_t set_ns = 0;  // when the program set it; 0: never, counts from the start
};

double Seconds(std::int64_t ns) {
    return static_cast<double>(ns) / kNsPerSecond;
}

void Bump(std::atomic<std::uint64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

Percentiles Micro(const Histogram& h) {
    const Histogram::Summary s = h.Summarize();
    return {s.p50 / 1e3, s.p99 / 1e3, s.p999 / 1e3, s.max / 1e3};
}

Vec3 ToVec3(const float v[3]) {
    return {v[0], v[1], v[2]};
}

std::string Text(const char* format, double a, double b = 0.0, double c = 0.0) {
    char text[240];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

// Bytes already waiting when the port opens belong to an earlier conversation (the reply to
// a previous loop's last request, or to a request it gave up on); they would be read as the
// answer to the wake-up.
void DropStaleInput(IO::PortHandle port) {
    // A bound, so a device that never stops sending cannot hold the open here.
    constexpr int kMaxReads = 16;
    char discard[Protocol::kBufferSize];
    // What is there, without waiting; writes keep the stream's bounds of 8 ms a byte and
    // 8 ms more, which the wake-up after this relies on where the port holds its time-outs.
    IO::CommTimeouts at_once{UINT32_MAX, 0, 0, 8, 8};
    if (!Platform::ApplyTimeouts(port, at_once)) {
        return;
    }
    for (int i = 0;
         i < kMaxReads && Platform::ReadPort(port, discard, sizeof discard, at_once, false) > 0;
         ++i) {
    }
}

}  // namespace

std::string ConfigProblem(const ServoConfig& c) {
    auto at_least_zero = [](double v) { return std::isfinite(v) && v >= 0.0; };
    auto above_zero_or_off = [](double v, double most) {
        return v == kOff || (v > 0.0 && v <= most);
    };
    if (!(c.rate_hz == 0.0 || (c.rate_hz >= kMinRateHz && c.rate_hz <= kMaxRateHz))) {
        return Text("rate_hz must be 0 (as fast as the arm answers) or lie between %g and %g",
                    kMinRateHz, kMaxRateHz);
    }
    if (!above_zero_or_off(c.watchdog_s, kMaxWatchdogS)) {
        return Text(
            "watchdog_s must lie above 0 and at most %g s; 0 does not turn the watchdog off "
            "(None does in Python, kOff in C++)",
            kMaxWatchdogS);
    }
    if (!(at_least_zero(c.watchdog_ramp_s) && c.watchdog_ramp_s <= kMaxWatchdogRampS)) {
        return Text("watchdog_ramp_s must lie between 0 and %g s", kMaxWatchdogRampS);
    }
    if (!above_zero_or_off(c.max_speed, kMaxSpeedLimit)) {
        return Text(
            "max_speed must lie above 0 and at most %g m/s; 0 does not turn braking off (None "
            "does in Python, kOff in C++)",
            kMaxSpeedLimit);
    }
    if (!(c.brake_damping > 0.0 && c.brake_damping <= kMaxBrakeDamping)) {
        return Text("brake_damping must lie above 0 and at most %g N s/m", kMaxBrakeDamping);
    }
    if (std::string p = ForceLimitsProblem(
            {c.max_force, c.watchdog_s, c.watchdog_ramp_s, c.max_speed, c.brake_damping});
        !p.empty()) {
        return p;
    }
    if (!(std::isfinite(c.reply_timeout_s) && c.reply_timeout_s >= 0.001 &&
          c.reply_timeout_s <= 60.0)) {
        return "reply_timeout_s must lie between 0.001 and 60";
    }
    if (c.watchdog_s != kOff) {
        const double period = c.rate_hz > 0.0 ? 1.0 / c.rate_hz : 0.0;
        if (period > c.watchdog_s) {
            return Text(
                "rate_hz %g gives a cycle every %g s, longer than watchdog_s (%g s): the "
                "watchdog could not stop a stale force in time; raise rate_hz to at least "
                "1 / watchdog_s or turn the watchdog off",
                c.rate_hz, period, c.watchdog_s);
        }
        // The arm holds the last force until the next request, which a slow reply delays by
        // up to the reply time-out.
        if (c.reply_timeout_s + period > c.watchdog_s) {
            return Text(
                "reply_timeout_s (%g s) and one period (%g s) must fit within watchdog_s (%g "
                "s): a slow arm would keep a force past the watchdog",
                c.reply_timeout_s, period, c.watchdog_s);
        }
    }
    if (c.history > kMaxHistory) {
        return Text("history keeps at most %.0f cycles", static_cast<double>(kMaxHistory));
    }
    if (!(at_least_zero(c.spin_us) && c.spin_us <= kMaxSpinUs)) {
        return Text("spin_us must lie between 0 and %g", kMaxSpinUs);
    }
    return {};
}

struct ServoLoop::Impl {
    Impl(const std::string& port_name, const ServoConfig& c)
        : config(c),
          port(port_name),
          owner(Platform::ProcessId()),
          model(ForceLimits{c.max_force, c.watchdog_s, c.watchdog_ramp_s, c.max_speed,
                            c.brake_damping}),
          // As fast as the arm answers counts as the arm's usual 1 kHz.
          touch(0.5, c.rate_hz > 0.0 ? 1.0 / c.rate_hz : 0.001),
          // Nothing is set aside for a configuration that cannot run.
          history(ConfigProblem(c).empty() ? c.history : 0) {
        realtime.message = "the loop has not started";
    }

    const ServoConfig config;
    const std::string port;
    const std::uint64_t owner;  // the process that made the loop
    std::unique_ptr<IO::SerialStream> stream;
    std::optional<ArmLink> link;
    int guard_slot = -1;
    Platform::ZeroGuardProcess zero_guard;
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

    // The loop thread's, or Stop's when no loop ran.
    ForceModel model;
    LoopState last;
    std::int64_t last_cycle_ns = 0;
    // Springs and walls ease in from the loop's start, or from when they were added later,
    // as the couplings and fixtures do: an arm away from a centre is never kicked.
    SoftStart ease;

    // Couplings, workspace, clutch and scene: writers and readers on its own locks, which
    // the loop thread never takes.
    TouchTable touch;

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

    // Why an acting call cannot act now, or kind None.
    Error Refusal() const;

    void Open();
    void ReadOpeningState();
    void FirstExchangeDone();
    void Run();
    void Cycle(std::int64_t start_ns, std::int64_t period_error_ns, bool& have_state);
    void SendFinalZero(bool read_reply);
    void PublishEffects();
    void Close();
};

Error ServoLoop::Impl::Refusal() const {
    if (Foreign()) {
        return {ErrorKind::NotRunning,
                "the servo loop belongs to the process that made it, not to this forked one"};
    }
    if (Faulted()) {
        return {ErrorKind::NotRunning, std::string("the servo loop ended: ") + fault_text};
    }
    if (closed.load()) {
        return {ErrorKind::NotRunning,
                "the servo loop was stopped and its port closed; open a new ServoLoop"};
    }
    return {};
}

void ServoLoop::Impl::Open() {
    if (const std::string problem = ConfigProblem(config); !problem.empty()) {
        Fail(ErrorKind::BadArgument, "%s", problem.c_str());
        closed.store(true);
        return;
    }
    stream = std::make_unique<IO::SerialStream>(port.c_str(), true);
    if (stream->Buffer() == nullptr || !stream->Buffer()->IsOpen()) {
        char why[120] = "";
        if (stream->OpenError() != 0) {
            Platform::ErrorText(stream->OpenError(), why, sizeof why);
        }
        Fail(ErrorKind::PortUnavailable, "cannot open port '%s'%s%s", port.c_str(),
             why[0] != '\0' ? ": " : "", why);
        Close();
        return;
    }
    DropStaleInput(stream->Buffer()->NativeHandle());
    Devices::Varnix3 arm(*stream);
    // The wake-up keeps the stream's usual time-out: a device may take a while to answer
    // its first message after the port opened.
    arm.SendDeviceWakeup();
    if (arm.ReceiveDeviceInfo(info.device_id, info.model_number, info.hardware_version,
                              info.firmware_version, info.uuid) < 0) {
        Fail(ErrorKind::NoDevice, "no device information from '%s': no arm answered the wake-up",
             port.c_str());
        Close();
        return;
    }
    if (info.model_number != Protocol::Arm::kArmModelNumber) {
        Fail(ErrorKind::NoDevice, "the device on '%s' is not an arm (model number %u)",
             port.c_str(), static_cast<unsigned>(info.model_number));
        Close();
        return;
    }
    link.emplace(stream->Buffer()->NativeHandle(),
                 std::llround(config.reply_timeout_s * static_cast<double>(kNsPerSecond)));
    ReadOpeningState();
}

// Before the loop exists, state() already tells where the arm is: a zero-force request and
// its state reply. An arm that does not answer it could not run a loop either.
void ServoLoop::Impl::ReadOpeningState() {
    const ExchangeResult r = link->Exchange({0.0f, 0.0f, 0.0f});
    if (r.outcome != ExchangeOutcome::Replied) {
        char why[200];
        Describe(r, config.reply_timeout_s, why, sizeof why);
        Fail(ErrorKind::NoDevice, "the arm on '%s' sent no state: %s", port.c_str(), why);
        Close();
        return;
    }
    last.position = ToVec3(r.position);
    last.velocity = ToVec3(r.velocity);
    state.Write(last);
}

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

// The last message of a loop is zero force, also after a fault: the arm is never left
// pushing when the line recovers.
void ServoLoop::Impl::SendFinalZero(bool read_reply) {
    if (!link) {
        return;
    }
    if (!read_reply) {
        if (link->SendZero()) {
            Platform::NoteZeroSent(guard_slot);
        }
        return;
    }
    const ExchangeResult r = link->Exchange({0.0f, 0.0f, 0.0f});
    // Once the request is out, the zero guard process has nothing left to do.
    if (r.outcome != ExchangeOutcome::WriteFailed) {
        Platform::NoteZeroSent(guard_slot);
    }
    if (r.outcome == ExchangeOutcome::Replied) {
        last.position = ToVec3(r.position);
        last.velocity = ToVec3(r.velocity);
        last.force = {};
        state.Write(last);
    }
}

void ServoLoop::Impl::Close() {
    if (guard_slot >= 0) {
        Platform::UnguardPort(guard_slot);
        guard_slot = -1;
    }
    // Before the port closes: the helper's copy of it must not keep it held.
    Platform::EndZeroGuard(zero_guard);
    link.reset();
    stream.reset();
    closed.store(true);
}

void ServoLoop::Impl::PublishEffects() {
    slots.Fill(effects.Back());
    effects.Publish();
}

void ServoLoop::Impl::Cycle(std::int64_t start_ns, std::int64_t period_error_ns, bool& have_state) {
    command.Update();
    effects.Update();
    const Command& c = command.Front();
    const EffectTable& table = effects.Front();

    // Until the first reply says where the arm is, nothing can be rendered.
    ForceResult r;
    if (have_state) {
        const std::int64_t now = Platform::MonotonicNs();
        const std::int64_t set_ns = c.set_ns != 0 ? c.set_ns : start_ns;
        // The couplings' damping and passivity work on the time the cycle really took,
        // within bounds that a stalled or first cycle cannot push out of range.
        const double span = last_cycle_ns != 0     ? Seconds(now - last_cycle_ns)
                            : config.rate_hz > 0.0 ? 1.0 / config.rate_hz
                                                   : 0.001;
        const double dt = std::clamp(span, kMinTouchDt, kMaxTouchDt);
        last_cycle_ns = now;
        Vec3 touched{};
        touch.Force(last.position, last.velocity, now, dt, table.fixtures.data(),
                    table.fixture_count, touched);
        double eased[kMaxEffects];
        for (std::size_t i = 0; i < table.count; ++i) {
            eased[i] = ease.Share(std::max(ease.Started(), table.added_ns[i]), now);
        }
        r = model.Compute(c.force, Seconds(now - set_ns), table.effects.data(), table.count,
                          last.position, last.velocity, touched, eased);
        touch.Rendered(r.touch_share);
    }
    const float out[3] = {static_cast<float>(r.force[0]), static_cast<float>(r.force[1]),
                          static_cast<float>(r.force[2])};
    const ExchangeResult reply = link->Exchange(out);
    exchange.Record(static_cast<std::uint64_t>(reply.elapsed_ns));
    period_error.Record(static_cast<std::uint64_t>(std::max<std::int64_t>(period_error_ns, 0)));
    if (reply.outcome != ExchangeOutcome::Replied) {
        char why[200];
        Describe(reply, config.reply_timeout_s, why, sizeof why);
        Fail(ErrorKind::DeviceLost, "%s", why);
        return;
    }
    const std::int64_t reply_ns = Platform::MonotonicNs();
    have_state = true;

    LoopState& s = last;
    s.time = Seconds(reply_ns - start_ns);
    s.sequence = cycles.load(std::memory_order_relaxed) + 1;
    s.position = ToVec3(reply.position);
    s.velocity = ToVec3(reply.velocity);
    s.force = ToVec3(out);  // exactly what went out
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
                         c.force, 0};
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
    touch.Restart(start_ns);
    ease.Restart(start_ns);
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

ServoLoop::ServoLoop(const std::string& port, const ServoConfig& config)
    : impl_(std::make_unique<Impl>(port, config)) {
    impl_->Open();
}

ServoLoop::~ServoLoop() {
    if (impl_->Foreign()) {
        // The thread, the port and its settings are the parent's: all of it is left alone.
        static_cast<void>(impl_.release());
        return;
    }
    Stop();
}

Error ServoLoop::Start() {
    if (Error refused = impl_->Refusal()) {
        return refused;
    }
    std::lock_guard<std::mutex> hold(impl_->control);
    if (impl_->running.load()) {
        return {};
    }
    if (Error refused = impl_->Refusal()) {
        return refused;
    }
    const IO::PortHandle port = impl_->stream->Buffer()->NativeHandle();
    // Whatever ends the program from here on, the arm gets its zero: a process beside it
    // watches for its death, and the signal guard sends it at once for the signals it can.
    // The helper asks for real-time scheduling even for a loop that does not: it runs only
    // to write that zero or to exit at a stop, and neither should wait behind a busy machine.
    char why[200];
    if (!Platform::StartZeroGuard(port, true, impl_->zero_guard, why, sizeof why)) {
        impl_->Fail(ErrorKind::NotRunning, "the loop cannot start: %s", why);
        impl_->Close();
        return impl_->Refusal();
    }
    std::uint8_t zero[Protocol::Arm::kVectorRequestSize];
    ZeroForceRequest(zero);
    impl_->guard_slot = Platform::GuardPort(port, zero, sizeof zero, impl_->zero_guard.channel);
    impl_->running.store(true);
    try {
        impl_->thread = std::thread([this] { impl_->Run(); });
    } catch (const std::system_error&) {
        impl_->running.store(false);
        impl_->Fail(ErrorKind::NotRunning, "%s", "the system refused a thread for the loop");
        impl_->SendFinalZero(false);
        impl_->Close();
        return impl_->Refusal();
    }
    {
        std::unique_lock<std::mutex> wait(impl_->realtime_mutex);
        impl_->realtime_ready.wait(wait, [this] { return impl_->realtime_known; });
    }
    // Back only once the loop has a state the arm sent (the first exchange is bounded by
    // the reply time-out), or has ended for want of one.
    {
        std::unique_lock<std::mutex> wait(impl_->first_reply_mutex);
        impl_->first_reply_ready.wait(wait, [this] { return impl_->first_exchange_done; });
    }
    if (impl_->Faulted()) {
        impl_->thread.join();  // it has sent zero force and closed the port
        return {impl_->fault_kind.load(std::memory_order_acquire),
                std::string("the servo loop ended: ") + impl_->fault_text};
    }
    return {};
}

void ServoLoop::Stop() {
    if (impl_->Foreign()) {
        return;
    }
    std::lock_guard<std::mutex> hold(impl_->control);
    impl_->stop_requested.store(true);
    if (impl_->thread.joinable()) {
        impl_->thread.join();
    } else if (!impl_->closed.load()) {
        impl_->SendFinalZero(true);
    }
    impl_->Close();
}

bool ServoLoop::Running() const {
    return impl_->running.load() && !impl_->Foreign();
}

Error ServoLoop::Fault() const {
    if (impl_->Foreign()) {
        return impl_->Refusal();
    }
    const ErrorKind kind = impl_->fault_kind.load(std::memory_order_acquire);
    return kind == ErrorKind::None ? Error() : Error(kind, impl_->fault_text);
}

bool ServoLoop::Closed() const {
    return impl_->closed.load() || impl_->Foreign();
}

const DeviceInfo& ServoLoop::Info() const {
    return impl_->info;
}

const ServoConfig& ServoLoop::Config() const {
    return impl_->config;
}

RealtimeReport ServoLoop::Realtime() const {
    std::lock_guard<std::mutex> hold(impl_->realtime_mutex);
    return impl_->realtime;
}

Error ServoLoop::SetForce(const Vec3& force) {
    if (Error refused = impl_->Refusal()) {
        return refused;
    }
    const std::int64_t now = Platform::MonotonicNs();
    std::lock_guard<std::mutex> hold(impl_->writers);
    impl_->command_master = Command{force, now};
    impl_->command.Write(impl_->command_master);
    return {};
}

Vec3 ServoLoop::Force() const {
    std::lock_guard<std::mutex> hold(impl_->writers);
    return impl_->command_master.force;
}

Error ServoLoop::Add(const Effect& effect, EffectId& id) {
    id = 0;
    if (Error refused = impl_->Refusal()) {
        return refused;
    }
    if (std::string problem = EffectProblem(effect); !problem.empty()) {
        return {ErrorKind::BadArgument, std::move(problem)};
    }
    const Effect normalised = Normalised(effect);
    std::lock_guard<std::mutex> hold(impl_->writers);
    id = impl_->slots.Add(normalised, Platform::MonotonicNs());
    if (id == 0) {
        return {ErrorKind::BadArgument, "a servo loop renders at most " +
                                            std::to_string(kMaxEffects) +
                                            " effects at once; remove one first"};
    }
    impl_->PublishEffects();
    return {};
}

Error ServoLoop::Update(EffectId id, const Effect& effect) {
    if (Error refused = impl_->Refusal()) {
        return refused;
    }
    if (std::string problem = EffectProblem(effect); !problem.empty()) {
        return {ErrorKind::BadArgument, std::move(problem)};
    }
    const Effect normalised = Normalised(effect);
    std::lock_guard<std::mutex> hold(impl_->writers);
    if (!impl_->slots.Update(id, normalised)) {
        return {ErrorKind::BadArgument, "the effect was removed from its loop"};
    }
    impl_->PublishEffects();
    return {};
}

bool ServoLoop::Remove(EffectId id) {
    std::lock_guard<std::mutex> hold(impl_->writers);
    if (!impl_->slots.Remove(id)) {
        return false;
    }
    impl_->PublishEffects();
    return true;
}

bool ServoLoop::Get(EffectId id, Effect& effect) const {
    std::lock_guard<std::mutex> hold(impl_->writers);
    return impl_->slots.Get(id, effect);
}

bool ServoLoop::Active(EffectId id) const {
    Effect ignored;
    return Get(id, ignored);
}

Error ServoLoop::AddCoupling(const CouplingParams& params, CouplingId& id) {
    id = 0;
    if (Error refused = impl_->Refusal()) {
        return refused;
    }
    return impl_->touch.AddCoupling(params, id);
}

Error ServoLoop::SetCouplingParams(CouplingId id, const CouplingParams& params) {
    if (Error refused = impl_->Refusal()) {
        return refused;
    }
    return impl_->touch.SetCouplingParams(id, params);
}

namespace {

// A stamp from the future would hold back every real update after it (they would all look
// older); a second's slack covers clocks read a little apart.
Error FutureStamp(const CouplingTarget& target) {
    if (target.stamp_ns > Platform::MonotonicNs() + kNsPerSecond) {
        return {ErrorKind::BadArgument,
                "coupling: the target's time stamp lies in the future (more than 1 s ahead of "
                "the monotonic clock)"};
    }
    return {};
}

}  // namespace

Error ServoLoop::MoveCouplingTarget(CouplingId id, const CouplingTarget& target) {
    if (Error refused = impl_->Refusal()) {
        return refused;
    }
    if (Error future = FutureStamp(target)) {
        return future;
    }
    return impl_->touch.MoveTarget(id, target);
}

Error ServoLoop::ChangeCoupling(CouplingId id, const CouplingParams& params,
                                const CouplingTarget& target) {
    if (Error refused = impl_->Refusal()) {
        return refused;
    }
    if (Error future = FutureStamp(target)) {
        return future;
    }
    return impl_->touch.ChangeCoupling(id, params, target);
}

bool ServoLoop::RemoveCoupling(CouplingId id) {
    return impl_->touch.RemoveCoupling(id);
}

bool ServoLoop::CouplingStateOf(CouplingId id, CouplingState& state) const {
    return impl_->touch.CouplingStateOf(id, state);
}

Error ServoLoop::SetWorkspace(const WorkspaceMap& map) {
    if (Error refused = impl_->Refusal()) {
        return refused;
    }
    return impl_->touch.SetWorkspace(map);
}

WorkspaceMap ServoLoop::Workspace() const {
    return impl_->touch.Workspace();
}

Error ServoLoop::Clutch(bool engaged) {
    if (Error refused = impl_->Refusal()) {
        return refused;
    }
    impl_->touch.Clutch(engaged);
    return {};
}

bool ServoLoop::Clutched() const {
    return impl_->touch.Clutched();
}

Error ServoLoop::SetScene(std::shared_ptr<MujocoScene> scene) {
    if (scene) {
        if (Error refused = impl_->Refusal()) {
            return refused;
        }
    }
    impl_->touch.SetScene(std::move(scene));
    if (!impl_->running.load()) {
        impl_->touch.LoopEnded();  // no loop thread holds the one replaced
    }
    return {};
}

std::shared_ptr<MujocoScene> ServoLoop::Scene() const {
    return impl_->touch.Scene();
}

LoopState ServoLoop::State() const {
    std::lock_guard<std::mutex> hold(impl_->readers);
    impl_->state.Update();
    return impl_->state.Front();
}

LoopStats ServoLoop::Stats() const {
    const Impl& i = *impl_;
    LoopStats s;
    s.cycles = i.cycles.load(std::memory_order_acquire);
    const std::int64_t span = i.last_reply_ns.load() - i.first_reply_ns.load();
    if (s.cycles > 1 && span > 0) {
        s.rate_hz = static_cast<double>(s.cycles - 1) / Seconds(span);
    }
    s.period_error_us = Micro(i.period_error);
    s.exchange_us = Micro(i.exchange);
    s.overruns = i.overruns.load();
    s.clamped = i.clamped.load();
    s.watchdog_trips = i.watchdog_trips.load();
    s.non_finite = i.non_finite.load();
    s.braking = i.braking.load();
    s.passivity_cycles = i.touch.PassivityCycles();
    if (const std::shared_ptr<MujocoScene> scene = i.touch.Scene()) {
        s.scene_overruns = scene->Stats().overruns;
    }
    if (const std::int64_t run = i.run_ns.load(std::memory_order_relaxed); run > 0) {
        s.cpu_share = Seconds(i.cpu_ns.load(std::memory_order_relaxed)) / Seconds(run);
    }
    return s;
}

std::vector<HistoryRecord> ServoLoop::History() const {
    return impl_->history.Read();
}

// Record n of the ring is cycle n + 1: the loop pushes every cycle it completes, in order.
std::vector<HistoryRecord> ServoLoop::HistoryAfter(std::uint64_t after_sequence,
                                                   std::uint64_t& lost) const {
    return impl_->history.ReadFrom(after_sequence, lost);
}

}  // namespace Orvane::HardwareAPI::Haptics
