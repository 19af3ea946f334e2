// A scene on the loop thread: its steps, its signs of trouble and the ramp out of a scene
// that stopped; and what the program reads and asks of it between cycles.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "haptics/MujocoSceneImpl.h"
#include "haptics/Vectors.h"
#include "platform/Realtime.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

using namespace Vectors;

// Beyond these a scene has run away, whatever MuJoCo says (m or rad, per s, per s^2).
constexpr double kMaxPosition = 1e4;
constexpr double kMaxVelocity = 1e3;
constexpr double kMaxAcceleration = 1e7;

}  // namespace

std::uint64_t MujocoScene::Impl::Warnings() const {
    const MujocoLayout& l = L();
    std::uint64_t sum = 0;
    for (int w : {l.warn_badqpos, l.warn_badqvel, l.warn_badqacc}) {
        sum += static_cast<std::uint32_t>(ReadField<int>(
            d, l.warning + static_cast<std::size_t>(w) * l.warning_size + l.warning_number));
    }
    return sum;
}

// Why the state just stepped cannot go on, or nullptr.
const char* MujocoScene::Impl::Unstable() const {
    const MujocoLayout& l = L();
    if (Warnings() != warnings) {
        return "MuJoCo found its state unstable (bad positions, velocities or accelerations) "
               "and reset it";
    }
    auto bad = [](const double* values, int count, double limit) {
        for (int i = 0; i < count; ++i) {
            if (!(std::fabs(values[i]) <= limit)) {
                return true;
            }
        }
        return false;
    };
    if (bad(Array(l.qacc), nv, kMaxAcceleration)) {
        return "accelerations ran away (not finite or beyond 1e7)";
    }
    if (bad(Array(l.qvel), nv, kMaxVelocity)) {
        return "velocities ran away (not finite or beyond 1e3)";
    }
    if (bad(Array(l.qpos), nq, kMaxPosition)) {
        return "positions ran away (not finite or beyond 1e4)";
    }
    return nullptr;
}

// Loop thread: ends the scene with a fault (the first one told) and starts its ramp out.
void MujocoScene::Impl::Stop(const char* format, ...) {
    if (failed.load(std::memory_order_relaxed)) {
        return;
    }
    if (!fault_written) {
        std::va_list args;
        va_start(args, format);
        std::vsnprintf(fault_text, sizeof fault_text, format, args);
        va_end(args);
        fault_written = true;
    }
    ramp_from = last_good;  // within max_force already
    ramp_left = ramp_cycles;
    ramp_start_ns = Platform::MonotonicNs();
    failed.store(true, std::memory_order_release);
}

Vec3 MujocoScene::Impl::RampOut(std::int64_t now_ns) {
    ramp_left = std::max<std::int64_t>(ramp_left - 1, 0);
    const double by_cycles = static_cast<double>(ramp_left) / static_cast<double>(ramp_cycles);
    const double by_clock = 1.0 - static_cast<double>(now_ns - ramp_start_ns) / (kRampOutS * 1e9);
    return Scaled(ramp_from, std::clamp(std::min(by_cycles, by_clock), 0.0, 1.0));
}

void MujocoScene::Impl::Apply(const Request& r) {
    const bool reset = r.reset_serial != applied_reset;
    const bool state = r.state_serial != applied_state && r.state_valid;
    if (reset) {
        A().reset_data(m, d);
        overrun_run = 0;
        last_good = {};
        failed.store(false, std::memory_order_release);
    }
    if (state) {
        std::copy(r.qpos.begin(), r.qpos.end(), Array(L().qpos));
        std::copy(r.qvel.begin(), r.qvel.end(), Array(L().qvel));
    }
    if (reset || state) {
        A().forward(m, d);
        warnings = Warnings();
    }
    applied_reset = r.reset_serial;
    applied_state = r.state_serial;
}

void MujocoScene::Impl::Publish(const Vec3& tool, const Vec3& force) {
    SceneSnapshot& s = snapshots[snapshot_index.Back()];
    s.time = ReadField<double>(d, L().time);
    s.cycle = cycles.load(std::memory_order_relaxed);
    std::copy_n(Array(L().qpos), nq, s.qpos.begin());
    std::copy_n(Array(L().qvel), nv, s.qvel.begin());
    const MujocoLayout& l = L();
    s.contacts = ReadField<int>(d, l.ncon);
    s.touching.clear();  // within the capacity reserved: no allocation
    const char* contact = ReadField<const char*>(d, l.contact);
    const int* geom_body = ModelInts(l.geom_bodyid);
    for (int c = 0; c < s.contacts; ++c) {
        const char* at = contact + static_cast<std::size_t>(c) * l.contact_size;
        const int g1 = ReadField<int>(at, l.contact_geom1);
        const int g2 = ReadField<int>(at, l.contact_geom2);
        const int b1 = g1 >= 0 ? geom_body[g1] : -1;
        const int b2 = g2 >= 0 ? geom_body[g2] : -1;
        const int other = b1 == body ? b2 : b2 == body ? b1 : -1;
        if (other >= 0 && other != body &&
            std::find(s.touching.begin(), s.touching.end(), other) == s.touching.end() &&
            s.touching.size() < s.touching.capacity()) {
            s.touching.push_back(other);
        }
    }
    s.tool = tool;
    s.force = force;
    snapshot_index.Publish();
}

// Writers only, under `writers`.
void MujocoScene::Impl::HandOver() {
    Request& slot = requests[request_index.Back()];
    slot.reset_serial = pending.reset_serial;
    slot.state_serial = pending.state_serial;
    slot.state_valid = pending.state_valid;
    slot.qpos = pending.qpos;  // same sizes: no allocation
    slot.qvel = pending.qvel;
    request_index.Publish();
}

// The model's steps of one cycle; felt sums the opposite of each pull.
void MujocoScene::Impl::Substeps(const Vec3& x, const Vec3& v, Vec3& felt, Vec3& tool,
                                 bool& finite) {
    const MujocoApi& a = A();
    const MujocoLayout& l = L();
    const double k = params.stiffness, b = params.damping;

    for (int s = 0; s < params.substeps && finite; ++s) {
        // The first half of the step brings positions and velocities up to date, so the
        // pull is computed from where the tool is now, then the second half integrates.
        a.step1(m, d);
        const double* xpos = Array(l.xpos) + 3 * body;
        double velocity[6];
        a.object_velocity(m, d, l.object_body, body, velocity, 0);
        tool = {xpos[0], xpos[1], xpos[2]};
        const Vec3 tool_v{velocity[3], velocity[4], velocity[5]};
        Vec3 pull = Sum(Scaled(Difference(x, tool), k), Scaled(Difference(v, tool_v), b));
        pull = Limited(pull, params.max_force);
        finite = Finite(pull);
        if (!finite) {
            pull = {};
        }
        double* applied = Array(l.xfrc_applied) + 6 * body;
        applied[0] = pull[0], applied[1] = pull[1], applied[2] = pull[2];
        a.step2(m, d);
        felt = Difference(felt, pull);
    }
}

Vec3 MujocoScene::Step(const Vec3& x, const Vec3& v) {
    Impl& i = *impl_;
    const std::int64_t started = Platform::MonotonicNs();

    Vec3 felt{}, tool{};
    // An arm position that is not a number is a glitch of the input, not of the scene: no
    // step and no force this cycle.
    const bool input = Finite(x) && Finite(v);
    bool finite = true;
    try {
        MujocoErrorTrap trap;
        if (i.request_index.Update()) {
            i.Apply(i.requests[i.request_index.Front()]);
        }
        if (input && !i.failed.load(std::memory_order_relaxed)) {
            const double before = ReadField<double>(i.d, i.L().time);
            i.Substeps(x, v, felt, tool, finite);
            const char* why = !finite ? "the pull on the tool was not finite"
                              : ReadField<double>(i.d, i.L().time) <= before
                                  ? "MuJoCo found its state unstable and reset it"
                                  : i.Unstable();
            if (why != nullptr) {
                Bump(i.unstable);
                i.Stop("scene: stopped at t=%.4f s: %s", ReadField<double>(i.d, i.L().time), why);
            }
        }
    } catch (const MujocoFatal& fatal) {
        i.Stop("scene: MuJoCo failed in a step: %s", fatal.message);
    }
    felt = Scaled(felt, 1.0 / i.params.substeps);
    if (i.failed.load(std::memory_order_relaxed)) {
        felt = i.RampOut(started);
    } else if (!input) {
        felt = {};
        Bump(i.unstable);
    } else {
        i.last_good = felt;
    }

    if (!input || i.failed.load(std::memory_order_relaxed)) {
        const double* xpos = i.Array(i.L().xpos) + 3 * i.body;
        tool = {xpos[0], xpos[1], xpos[2]};
    }
    Bump(i.cycles);
    i.Publish(tool, felt);
    const std::int64_t took = Platform::MonotonicNs() - started;
    i.step_time.Record(static_cast<std::uint64_t>(std::max<std::int64_t>(took, 0)));
    if (took > i.period_ns) {
        Bump(i.overruns);
    }
    i.overrun_run = took > i.budget_ns ? i.overrun_run + 1 : 0;
    if (i.overrun_run >= i.params.overrun_limit && !i.failed.load(std::memory_order_relaxed)) {
        i.Stop(
            "scene: stopped: %d steps in a row took longer than the budget of %.0f us (the "
            "last %.0f us), so the loop keeps its rate",
            i.overrun_run, static_cast<double>(i.budget_ns) / 1e3, static_cast<double>(took) / 1e3);
    }
    return felt;
}

void MujocoScene::Snapshot(SceneSnapshot& out) const {
    std::lock_guard<std::mutex> hold(impl_->readers);
    impl_->snapshot_index.Update();
    out = impl_->snapshots[impl_->snapshot_index.Front()];
}

SceneStats MujocoScene::Stats() const {
    const Histogram::Summary s = impl_->step_time.Summarize();
    SceneStats out;
    out.cycles = impl_->cycles.load();
    out.overruns = impl_->overruns.load();
    out.unstable = impl_->unstable.load();
    out.step_us = {s.p50 / 1e3, s.p99 / 1e3, s.p999 / 1e3, s.max / 1e3};
    return out;
}

Error MujocoScene::Fault() const {
    if (!impl_->failed.load(std::memory_order_acquire)) {
        return {};
    }
    return {ErrorKind::NotRunning, impl_->fault_text};
}

int MujocoScene::PositionCount() const {
    return impl_->nq;
}

int MujocoScene::VelocityCount() const {
    return impl_->nv;
}

const char* MujocoScene::Release() const {
    return impl_->library.Release();
}

Error MujocoScene::SetState(const std::vector<double>& qpos, const std::vector<double>& qvel) {
    Impl& i = *impl_;
    if (qpos.size() != static_cast<std::size_t>(i.nq) ||
        qvel.size() != static_cast<std::size_t>(i.nv)) {
        return Bad("scene: qpos needs " + std::to_string(i.nq) + " values and qvel " +
                   std::to_string(i.nv));
    }
    for (double q : qpos) {
        if (!std::isfinite(q)) {
            return Bad("scene: qpos must be finite");
        }
    }
    for (double q : qvel) {
        if (!std::isfinite(q)) {
            return Bad("scene: qvel must be finite");
        }
    }
    std::lock_guard<std::mutex> hold(i.writers);
    ++i.pending.state_serial;
    i.pending.state_valid = true;
    std::copy(qpos.begin(), qpos.end(), i.pending.qpos.begin());
    std::copy(qvel.begin(), qvel.end(), i.pending.qvel.begin());
    i.HandOver();
    return {};
}

void MujocoScene::Reset() {
    Impl& i = *impl_;
    std::lock_guard<std::mutex> hold(i.writers);
    ++i.pending.reset_serial;
    i.pending.state_valid = false;
    i.HandOver();
}

}  // namespace Orvane::HardwareAPI::Haptics
