#include "Orvane/HardwareAPI/ServoLoop.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "Orvane/HardwareAPI/SerialStream.h"
#include "Orvane/HardwareAPI/Varnix3.h"
#include "SerialBuffer.h"
#include "haptics/ForceModel.h"
#include "haptics/Histogram.h"
#include "haptics/HistoryRing.h"
#include "haptics/LatestValue.h"
#include "haptics/Pacer.h"
#include "platform/Realtime.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
// How long before each deadline the loop watches the clock.
constexpr std::int64_t kSpinNs = 200'000;
// A fault a reply time-out caused takes about the whole time-out; anything much quicker
// means the reply came wrong or the line went away.
constexpr double kTimeoutShare = 0.9;

struct Command {
    Vec3 force{};
};

// The effects in force, densely packed, as the loop thread reads them.
struct EffectTable {
    std::array<Effect, ServoLoop::kMaxEffects> effects{};
    std::size_t count = 0;
};

struct EffectSlot {
    std::uint32_t generation = 0;
    bool used = false;
    Effect effect{};
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

}  // namespace

std::string ConfigProblem(const ServoConfig& c) {
    auto at_least_zero = [](double v) { return std::isfinite(v) && v >= 0.0; };
    if (!at_least_zero(c.rate_hz)) {
        return "rate_hz must be a finite number, 0 or more";
    }
    if (!(std::isfinite(c.max_force) && c.max_force > 0.0)) {
        return "max_force must be a finite number above 0";
    }
    if (!at_least_zero(c.watchdog_s) || !at_least_zero(c.watchdog_ramp_s)) {
        return "watchdog_s and watchdog_ramp_s must be finite numbers, 0 or more";
    }
    if (!at_least_zero(c.max_speed) || !at_least_zero(c.brake_damping)) {
        return "max_speed and brake_damping must be finite numbers, 0 or more";
    }
    if (!(std::isfinite(c.reply_timeout_s) && c.reply_timeout_s >= 0.001 &&
          c.reply_timeout_s <= 60.0)) {
        return "reply_timeout_s must lie between 0.001 and 60";
    }
    return {};
}

struct ServoLoop::Impl {
    Impl(const std::string& port_name, const ServoConfig& c)
        : config(c),
          port(port_name),
          model(ForceLimits{c.max_force, c.watchdog_s, c.watchdog_ramp_s, c.max_speed,
                            c.brake_damping}),
          history(c.history) {
        realtime.message = "the loop has not started";
    }

    const ServoConfig config;
    const std::string port;
    std::unique_ptr<IO::SerialStream> stream;
    std::unique_ptr<Devices::Varnix3> arm;
    DeviceInfo info;

    // Start, Stop and the destructor, one at a time.
    std::mutex control;
    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<bool> stop_requested{false};
    std::atomic<bool> closed{false};
    std::atomic<bool> faulted{false};
    char fault_text[256] = "";  // written once, before `faulted` is set

    std::mutex realtime_mutex;
    std::condition_variable realtime_ready;
    bool realtime_known = false;
    RealtimeReport realtime;

    // Writers (SetForce, Add, ...) serialize on this; the loop thread never takes it.
    mutable std::mutex writers;
    Command command_master;
    std::array<EffectSlot, kMaxEffects> slots{};
    LatestValue<Command> command;
    LatestValue<EffectTable> effects;

    // Readers of the newest state serialize on this; the loop thread never takes it.
    // The writer side belongs to the loop thread, or to Stop when no loop ran.
    mutable std::mutex readers;
    mutable LatestValue<LoopState> state;

    // The loop thread's, or Stop's when no loop ran.
    ForceModel model;
    LoopState last;

    // Written by the loop thread, read by anyone.
    Histogram period_error;
    Histogram exchange;
    std::atomic<std::uint64_t> cycles{0}, overruns{0}, clamped{0}, watchdog_trips{0}, non_finite{0},
        braking{0};
    std::atomic<std::int64_t> first_reply_ns{0}, last_reply_ns{0};
    HistoryRing history;

    template <typename... Args>
    void Fail(const char* format, Args... args) {
        std::snprintf(fault_text, sizeof fault_text, format, args...);
        faulted.store(true, std::memory_order_release);
    }

    void Open();
    void Run();
    void Cycle(std::int64_t start_ns, std::int64_t wake_ns, std::int64_t period_error_ns,
               std::int64_t& command_ns, bool& have_state, Vec3& x, Vec3& v);
    bool Exchange(const Vec3& force, Vec3& x, Vec3& v);
    void SendZero(bool read_reply);
    void PublishEffects();
    void Close();
};

void ServoLoop::Impl::Open() {
    if (const std::string problem = ConfigProblem(config); !problem.empty()) {
        Fail("%s", problem.c_str());
        closed.store(true);
        return;
    }
    stream = std::make_unique<IO::SerialStream>(port.c_str(), true);
    if (stream->Buffer() == nullptr || !stream->Buffer()->IsOpen()) {
        Fail("cannot open port '%s'", port.c_str());
        Close();
        return;
    }
    arm = std::make_unique<Devices::Varnix3>(*stream);
    // The wake-up keeps the stream's usual time-out: a device may take a while to answer
    // its first message after the port opened.
    arm->SendDeviceWakeup();
    if (arm->ReceiveDeviceInfo(info.device_id, info.model_number, info.hardware_version,
                               info.firmware_version, info.uuid) < 0) {
        Fail("no device information from '%s': no arm answered the wake-up", port.c_str());
        Close();
        return;
    }
    if (info.model_number != Protocol::Arm::kArmModelNumber) {
        Fail("the device on '%s' is not an arm (model number %u)", port.c_str(),
             static_cast<unsigned>(info.model_number));
        Close();
        return;
    }
    const auto ms = static_cast<std::uint32_t>(std::ceil(config.reply_timeout_s * 1000.0));
    stream->Buffer()->SetReadTimeout(ms);
}

bool ServoLoop::Impl::Exchange(const Vec3& force, Vec3& x, Vec3& v) {
    const float out[3] = {static_cast<float>(force[0]), static_cast<float>(force[1]),
                          static_cast<float>(force[2])};
    float position[3] = {};
    float velocity[3] = {};
    arm->SendForce(out);
    if (arm->ReceiveState(position, velocity) < 0) {
        return false;
    }
    x = ToVec3(position);
    v = ToVec3(velocity);
    return true;
}

// The stream gives up for good after its first failure; the last message of a loop is
// zero force all the same, so the arm is never left pushing when the line recovers.
void ServoLoop::Impl::SendZero(bool read_reply) {
    if (!arm) {
        return;
    }
    stream->clear();
    const float zero[3] = {0.0f, 0.0f, 0.0f};
    arm->SendForce(zero);
    float position[3] = {};
    float velocity[3] = {};
    if (read_reply && arm->ReceiveState(position, velocity) >= 0) {
        last.position = ToVec3(position);
        last.velocity = ToVec3(velocity);
        last.force = {};
        state.Write(last);
    }
}

void ServoLoop::Impl::Close() {
    arm.reset();
    stream.reset();
    closed.store(true);
}

void ServoLoop::Impl::PublishEffects() {
    EffectTable& table = effects.Back();
    table.count = 0;
    for (const EffectSlot& slot : slots) {
        if (slot.used) {
            table.effects[table.count++] = slot.effect;
        }
    }
    effects.Publish();
}

void ServoLoop::Impl::Cycle(std::int64_t start_ns, std::int64_t wake_ns,
                            std::int64_t period_error_ns, std::int64_t& command_ns,
                            bool& have_state, Vec3& x, Vec3& v) {
    if (command.Update()) {
        command_ns = wake_ns;
    }
    effects.Update();
    const EffectTable& table = effects.Front();

    // Until the first reply says where the arm is, nothing can be rendered.
    ForceResult r;
    if (have_state) {
        r = model.Compute(command.Front().force, Seconds(wake_ns - command_ns),
                          table.effects.data(), table.count, x, v);
    }

    const std::int64_t sent_ns = Platform::MonotonicNs();
    if (!Exchange(r.force, x, v)) {
        const double waited_ms = Seconds(Platform::MonotonicNs() - sent_ns) * 1e3;
        if (waited_ms >= kTimeoutShare * config.reply_timeout_s * 1e3) {
            Fail("the arm stopped answering: no state reply within %.0f ms",
                 config.reply_timeout_s * 1e3);
        } else {
            Fail(
                "the arm's state reply was missing or malformed after %.1f ms (unplugged, or "
                "the port closed?)",
                waited_ms);
        }
        return;
    }
    const std::int64_t reply_ns = Platform::MonotonicNs();
    have_state = true;

    LoopState& s = last;
    s.time = Seconds(reply_ns - start_ns);
    s.sequence = cycles.load(std::memory_order_relaxed) + 1;
    s.position = x;
    s.velocity = v;
    s.force = r.force;
    state.Write(s);

    period_error.Record(static_cast<std::uint64_t>(std::max<std::int64_t>(period_error_ns, 0)));
    exchange.Record(static_cast<std::uint64_t>(reply_ns - sent_ns));
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
    history.Push(s, Seconds(period_error_ns) * 1e6, Seconds(reply_ns - sent_ns) * 1e6);
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

    const std::int64_t period =
        config.rate_hz > 0.0 ? std::max<std::int64_t>(1, std::llround(1e9 / config.rate_hz)) : 0;
    Pacer pacer(period, kSpinNs);
    const std::int64_t start_ns = Platform::MonotonicNs();
    pacer.Start(start_ns);
    std::int64_t command_ns = start_ns;
    bool have_state = false;
    Vec3 x{}, v{};

    std::int64_t wake = 0;
    while (pacer.Wait(stop_requested, wake)) {
        Cycle(start_ns, wake, pacer.Lateness(wake), command_ns, have_state, x, v);
        if (faulted.load(std::memory_order_relaxed)) {
            break;
        }
        if (pacer.Advance(Platform::MonotonicNs())) {
            Bump(overruns);
        }
    }

    SendZero(!faulted.load(std::memory_order_relaxed));
    if (config.realtime) {
        Platform::LeaveRealtime(grant);
    }
    running.store(false);
}

ServoLoop::ServoLoop(const std::string& port, const ServoConfig& config)
    : impl_(std::make_unique<Impl>(port, config)) {
    impl_->Open();
}

ServoLoop::~ServoLoop() {
    Stop();
}

bool ServoLoop::Start() {
    std::lock_guard<std::mutex> hold(impl_->control);
    if (impl_->running.load()) {
        return true;
    }
    if (impl_->closed.load() || impl_->faulted.load()) {
        return false;
    }
    if (impl_->thread.joinable()) {
        impl_->thread.join();
    }
    impl_->running.store(true);
    try {
        impl_->thread = std::thread([this] { impl_->Run(); });
    } catch (const std::system_error&) {
        impl_->running.store(false);
        impl_->Fail("%s", "the system refused a thread for the loop");
        return false;
    }
    std::unique_lock<std::mutex> wait(impl_->realtime_mutex);
    impl_->realtime_ready.wait(wait, [this] { return impl_->realtime_known; });
    return true;
}

void ServoLoop::Stop() {
    std::lock_guard<std::mutex> hold(impl_->control);
    if (impl_->closed.load()) {
        return;
    }
    impl_->stop_requested.store(true);
    if (impl_->thread.joinable()) {
        impl_->thread.join();
    } else {
        impl_->SendZero(true);
    }
    impl_->Close();
}

bool ServoLoop::Running() const {
    return impl_->running.load();
}

std::string ServoLoop::Fault() const {
    return impl_->faulted.load(std::memory_order_acquire) ? std::string(impl_->fault_text)
                                                          : std::string();
}

bool ServoLoop::Closed() const {
    return impl_->closed.load();
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

void ServoLoop::SetForce(const Vec3& force) {
    std::lock_guard<std::mutex> hold(impl_->writers);
    impl_->command_master.force = force;
    impl_->command.Write(impl_->command_master);
}

Vec3 ServoLoop::Force() const {
    std::lock_guard<std::mutex> hold(impl_->writers);
    return impl_->command_master.force;
}

namespace {

// An id names a slot and the slot's generation, so an id outlives its effect safely.
std::size_t SlotOf(EffectId id) {
    return (id - 1) % ServoLoop::kMaxEffects;
}
std::uint32_t GenerationOf(EffectId id) {
    return (id - 1) / ServoLoop::kMaxEffects;
}

// The slot an id names while its effect is still there; nullptr once it was removed.
template <typename Slots>
auto* LiveSlot(Slots& slots, EffectId id) {
    auto* slot = id == 0 ? nullptr : &slots[SlotOf(id)];
    return slot != nullptr && slot->used && slot->generation == GenerationOf(id) ? slot : nullptr;
}

}  // namespace

EffectId ServoLoop::Add(const Effect& effect) {
    std::lock_guard<std::mutex> hold(impl_->writers);
    for (std::size_t i = 0; i < kMaxEffects; ++i) {
        EffectSlot& slot = impl_->slots[i];
        if (!slot.used) {
            slot.used = true;
            slot.effect = effect;
            impl_->PublishEffects();
            return static_cast<EffectId>(slot.generation * kMaxEffects + i + 1);
        }
    }
    return 0;
}

bool ServoLoop::Update(EffectId id, const Effect& effect) {
    std::lock_guard<std::mutex> hold(impl_->writers);
    auto* live = LiveSlot(impl_->slots, id);
    if (live == nullptr) {
        return false;
    }
    live->effect = effect;
    impl_->PublishEffects();
    return true;
}

bool ServoLoop::Remove(EffectId id) {
    std::lock_guard<std::mutex> hold(impl_->writers);
    auto* live = LiveSlot(impl_->slots, id);
    if (live == nullptr) {
        return false;
    }
    live->used = false;
    // Ids wrap after some 134 million reuses of one slot.
    live->generation = (live->generation + 1) % (UINT32_MAX / kMaxEffects);
    impl_->PublishEffects();
    return true;
}

bool ServoLoop::Get(EffectId id, Effect& effect) const {
    std::lock_guard<std::mutex> hold(impl_->writers);
    auto* live = LiveSlot(impl_->slots, id);
    if (live == nullptr) {
        return false;
    }
    effect = live->effect;
    return true;
}

bool ServoLoop::Active(EffectId id) const {
    Effect ignored;
    return Get(id, ignored);
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
    return s;
}

std::vector<HistoryRecord> ServoLoop::History() const {
    return impl_->history.Read();
}

}  // namespace Orvane::HardwareAPI::Haptics
