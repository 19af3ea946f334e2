// The servo loop's public face: every call checks and hands over, and none waits for the
// loop thread (ServoThread.cpp) except Start and Stop.
#include "Orvane/HardwareAPI/ServoLoop.h"

#include <string>
#include <system_error>

#include "Orvane/HardwareAPI/MujocoScene.h"
#include "haptics/OpenLoops.h"
#include "haptics/ServoLoopImpl.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;

double Seconds(std::int64_t ns) {
    return static_cast<double>(ns) / kNsPerSecond;
}

Percentiles Micro(const Histogram& h) {
    const Histogram::Summary s = h.Summarize();
    return {s.p50 / 1e3, s.p99 / 1e3, s.p999 / 1e3, s.max / 1e3};
}

Error NoSuchEffect() {
    return {ErrorKind::NotFound, "the effect was removed from its loop"};
}

}  // namespace

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

Error ServoLoop::Impl::Ended() const {
    return {fault_kind.load(std::memory_order_acquire),
            std::string("the servo loop ended: ") + fault_text};
}

void ServoLoop::Impl::Open() {
    if (const Error refused = CheckConfig(config)) {
        Fail(refused);
        closed.store(true);
        return;
    }
    if (Error failed = arm.Open(port, config.reply_timeout_s, info, last)) {
        Fail(failed);
        Close();
        return;
    }
    state.Write(last);
}

void ServoLoop::Impl::SendFinalZero(bool read_reply) {
    if (arm.SendFinalZero(read_reply, last)) {
        state.Write(last);
    }
}

void ServoLoop::Impl::Close() {
    arm.Close();
    closed.store(true);
}

void ServoLoop::Impl::PublishEffects() {
    slots.Fill(effects.Back());
    effects.Publish();
}

ServoLoop::ServoLoop(const std::string& port, const ServoConfig& config)
    : impl_(std::make_unique<Impl>(port, config)) {
    impl_->Open();
    RememberLoop(this);
}

ServoLoop::~ServoLoop() {
    ForgetLoop(this);
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
    // Whatever ends the program from here on, the arm gets its zero.
    if (Error failed = impl_->arm.Guard()) {
        impl_->Fail(failed);
        impl_->Close();
        return impl_->Ended();
    }
    impl_->running.store(true);
    try {
        impl_->thread = std::thread([this] { impl_->Run(); });
    } catch (const std::system_error&) {
        impl_->running.store(false);
        impl_->Fail(ErrorKind::OutOfResources, "%s", "the system refused a thread for the loop");
        impl_->SendFinalZero(false);
        impl_->Close();
        return impl_->Ended();
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
        return impl_->Ended();
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
    if (Error refused = CheckEffect(effect)) {
        return refused;
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
    if (Error refused = CheckEffect(effect)) {
        return refused;
    }
    const Effect normalised = Normalised(effect);
    std::lock_guard<std::mutex> hold(impl_->writers);
    if (!impl_->slots.Update(id, normalised)) {
        return NoSuchEffect();
    }
    impl_->PublishEffects();
    return {};
}

Error ServoLoop::Remove(EffectId id) {
    std::lock_guard<std::mutex> hold(impl_->writers);
    if (!impl_->slots.Remove(id)) {
        return NoSuchEffect();
    }
    impl_->PublishEffects();
    return {};
}

Error ServoLoop::Get(EffectId id, Effect& effect) const {
    std::lock_guard<std::mutex> hold(impl_->writers);
    if (!impl_->slots.Get(id, effect)) {
        return NoSuchEffect();
    }
    return {};
}

bool ServoLoop::Active(EffectId id) const {
    Effect ignored;
    std::lock_guard<std::mutex> hold(impl_->writers);
    return impl_->slots.Get(id, ignored);
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

Error ServoLoop::RemoveCoupling(CouplingId id) {
    return impl_->touch.RemoveCoupling(id);
}

Error ServoLoop::CouplingStateOf(CouplingId id, CouplingState& state) const {
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
