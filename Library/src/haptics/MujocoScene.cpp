#include "Orvane/HardwareAPI/MujocoScene.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "haptics/Histogram.h"
#include "haptics/MujocoApi.h"
#include "haptics/TripleIndex.h"
#include "haptics/Vectors.h"
#include "platform/Realtime.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

using namespace Vectors;

constexpr int kMaxSubsteps = 100;

bool NotNegative(double v) {
    return std::isfinite(v) && v >= 0.0;
}

void Bump(std::atomic<std::uint64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

Error Bad(std::string text) {
    return {ErrorKind::BadArgument, std::move(text)};
}

std::string ParamsProblem(const MujocoSceneParams& p, double period_s) {
    if (p.model == nullptr || p.data == nullptr) {
        return "scene: a model and its data are needed";
    }
    if (p.body.empty()) {
        return "scene: the tool body needs a name";
    }
    if (!NotNegative(p.stiffness) || !NotNegative(p.damping)) {
        return "scene: stiffness and damping must be finite numbers, 0 or more";
    }
    if (!NotNegative(p.max_force)) {
        return "scene: max_force must be a finite number, 0 (no limit of its own) or more";
    }
    if (p.substeps < 1 || p.substeps > kMaxSubsteps) {
        return "scene: substeps must lie between 1 and " + std::to_string(kMaxSubsteps);
    }
    if (!(std::isfinite(period_s) && period_s > 0.0 && period_s <= 1.0)) {
        return "scene: the loop period must lie above 0 and at most 1 s";
    }
    return {};
}

// Everything writers asked for so far: the loop applies what is newer than what it
// applied, so no request is lost when two come between cycles.
struct Request {
    std::uint64_t reset_serial = 0;
    std::uint64_t state_serial = 0;
    bool state_valid = false;  // a reset after the last SetState overrides it
    std::vector<double> qpos, qvel;
};

}  // namespace

struct MujocoScene::Impl {
    MujocoLibrary library;
    MujocoSceneParams params;
    void* m = nullptr;
    void* d = nullptr;
    int body = 0;
    int nq = 0, nv = 0;
    std::int64_t period_ns = 0;

    // Loop thread to readers; readers serialize on `readers`, which the loop never takes.
    std::array<SceneSnapshot, 3> snapshots;
    TripleIndex snapshot_index;
    mutable std::mutex readers;

    // Writers to the loop thread; writers serialize on `writers`, which the loop never takes.
    std::array<Request, 3> requests;
    TripleIndex request_index;
    std::mutex writers;
    Request pending;                                     // writers' side
    std::uint64_t applied_reset = 0, applied_state = 0;  // loop's side

    Histogram step_time;
    std::atomic<std::uint64_t> cycles{0}, overruns{0}, unstable{0};
    // Set once MuJoCo reported a fatal error in a step; a Reset clears it.
    std::atomic<bool> failed{false};
    char fault_text[300] = "";   // written before `failed` is first set
    bool fault_written = false;  // loop's side

    Error Prepare(double period_s);
    void Apply(const Request& r);
    void Publish(const Vec3& tool, const Vec3& force);
    void HandOver();
    void Substeps(const Vec3& x, const Vec3& v, Vec3& felt, Vec3& tool, bool& finite);

    const MujocoLayout& L() const { return library.Layout(); }
    const MujocoApi& A() const { return library.Api(); }
    double* Array(std::size_t offset) const { return ReadField<double*>(d, offset); }
};

Error MujocoScene::Impl::Prepare(double period_s) {
    const MujocoApi& a = A();
    if (!MujocoErrorTrap::Install(library)) {
        return {ErrorKind::NoDevice, "scene: the MuJoCo library has no error hook"};
    }
    const std::int64_t nq64 = ReadField<std::int64_t>(m, L().nq);
    const std::int64_t nv64 = ReadField<std::int64_t>(m, L().nv);
    const std::int64_t nbody = ReadField<std::int64_t>(m, L().nbody);
    // The layout is checked against what the library itself says before anything is
    // written through it: a model from another release, or something that is no model,
    // fails here.
    if (nq64 < 0 || nv64 < 0 || nbody < 1 || nq64 > (1 << 24) || nv64 > (1 << 24) ||
        nbody > (1 << 24) || a.state_size(m, L().state_qpos) != nq64 ||
        a.state_size(m, L().state_qvel) != nv64 ||
        a.state_size(m, L().state_xfrc_applied) != 6 * nbody) {
        return Bad("scene: the model does not look like a MuJoCo " + std::string(L().name) +
                   " model (its sizes disagree with the library's)");
    }
    nq = static_cast<int>(nq64);
    nv = static_cast<int>(nv64);
    std::vector<double> state(static_cast<std::size_t>(1 + nq));
    a.get_state(m, d, state.data(), L().state_time | L().state_qpos);
    const double* qpos = Array(L().qpos);
    if (std::memcmp(&state[0], static_cast<const char*>(d) + L().time, sizeof(double)) != 0 ||
        (nq > 0 &&
         (qpos == nullptr ||
          std::memcmp(&state[1], qpos, sizeof(double) * static_cast<std::size_t>(nq)) != 0))) {
        return Bad("scene: the data does not look like MuJoCo " + std::string(L().name) +
                   " data (its fields disagree with the library's)");
    }
    body = a.name2id(m, L().object_body, params.body.c_str());
    if (body < 0) {
        return Bad("scene: the model has no body named '" + params.body + "'");
    }
    if (body == 0) {
        return Bad("scene: the tool cannot be the world body");
    }

    WriteField<double>(m, L().timestep, period_s / params.substeps);
    period_ns = static_cast<std::int64_t>(std::llround(period_s * 1e9));
    for (SceneSnapshot& s : snapshots) {
        s.qpos.assign(static_cast<std::size_t>(nq), 0.0);
        s.qvel.assign(static_cast<std::size_t>(nv), 0.0);
    }
    for (Request& r : requests) {
        r.qpos.assign(static_cast<std::size_t>(nq), 0.0);
        r.qvel.assign(static_cast<std::size_t>(nv), 0.0);
    }
    pending.qpos.assign(static_cast<std::size_t>(nq), 0.0);
    pending.qvel.assign(static_cast<std::size_t>(nv), 0.0);
    try {
        MujocoErrorTrap trap;
        a.forward(m, d);
    } catch (const MujocoFatal& fatal) {
        return Bad(std::string("scene: the model fails in MuJoCo: ") + fatal.message);
    }
    const double* xpos = Array(L().xpos);
    Publish({xpos[3 * body], xpos[3 * body + 1], xpos[3 * body + 2]}, {});
    return {};
}

void MujocoScene::Impl::Apply(const Request& r) {
    const bool reset = r.reset_serial != applied_reset;
    const bool state = r.state_serial != applied_state && r.state_valid;
    if (reset) {
        A().reset_data(m, d);
        failed.store(false, std::memory_order_release);
    }
    if (state) {
        std::copy(r.qpos.begin(), r.qpos.end(), Array(L().qpos));
        std::copy(r.qvel.begin(), r.qvel.end(), Array(L().qvel));
    }
    if (reset || state) {
        A().forward(m, d);
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
    s.contacts = ReadField<int>(d, L().ncon);
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

MujocoScene::MujocoScene(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MujocoScene::~MujocoScene() = default;

std::shared_ptr<MujocoScene> MujocoScene::Open(const MujocoSceneParams& params, double period_s,
                                               Error& error) {
    error = {};
    if (const std::string problem = ParamsProblem(params, period_s); !problem.empty()) {
        error = Bad(problem);
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->params = params;
    impl->m = params.model;
    impl->d = params.data;
    if ((error = impl->library.Open(params.library.c_str()))) {
        return nullptr;
    }
    if ((error = impl->Prepare(period_s))) {
        return nullptr;
    }
    return std::shared_ptr<MujocoScene>(new MujocoScene(std::move(impl)));
}

Vec3 MujocoScene::Step(const Vec3& x, const Vec3& v) {
    Impl& i = *impl_;
    const std::int64_t started = Platform::MonotonicNs();

    Vec3 felt{}, tool{};
    bool finite = Finite(x) && Finite(v);
    try {
        MujocoErrorTrap trap;
        if (i.request_index.Update()) {
            i.Apply(i.requests[i.request_index.Front()]);
        }
        if (!i.failed.load(std::memory_order_relaxed)) {
            i.Substeps(x, v, felt, tool, finite);
        }
    } catch (const MujocoFatal& fatal) {
        // Only the first failure is told: readers may be reading the text from then on.
        if (!i.fault_written) {
            std::snprintf(i.fault_text, sizeof i.fault_text, "scene: MuJoCo failed in a step: %s",
                          fatal.message);
            i.fault_written = true;
        }
        i.failed.store(true, std::memory_order_release);
    }
    if (i.failed.load(std::memory_order_relaxed)) {
        felt = {};
    }
    felt = Scaled(felt, 1.0 / i.params.substeps);
    if (!finite || !Finite(felt)) {
        // A scene that blew up pushes nothing; the next Reset or SetState can bring it back.
        felt = {};
        Bump(i.unstable);
    }

    Bump(i.cycles);
    i.Publish(tool, felt);
    const std::int64_t took = Platform::MonotonicNs() - started;
    i.step_time.Record(static_cast<std::uint64_t>(std::max<std::int64_t>(took, 0)));
    if (took > i.period_ns) {
        Bump(i.overruns);
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
    return {ErrorKind::DeviceLost, impl_->fault_text};
}

int MujocoScene::PositionCount() const {
    return impl_->nq;
}

int MujocoScene::VelocityCount() const {
    return impl_->nv;
}

const char* MujocoScene::Release() const {
    return impl_->L().name;
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
