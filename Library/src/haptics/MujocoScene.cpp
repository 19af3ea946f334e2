#include "Orvane/HardwareAPI/MujocoScene.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdarg>
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
constexpr int kMaxOverrunLimit = 100000;
// What a stopped scene's force takes to ease out.
constexpr double kRampOutS = 0.1;
// Beyond these a scene has run away, whatever MuJoCo says (m or rad, per s, per s^2).
constexpr double kMaxPosition = 1e4;
constexpr double kMaxVelocity = 1e3;
constexpr double kMaxAcceleration = 1e7;

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
    if (!NotNegative(p.step_budget_s) || p.step_budget_s > 1.0) {
        return "scene: step_budget must lie between 0 (half the period) and 1 s";
    }
    if (p.overrun_limit < 1 || p.overrun_limit > kMaxOverrunLimit) {
        return "scene: overrun_limit must lie between 1 and " + std::to_string(kMaxOverrunLimit);
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
    void* m = nullptr;  // the scene's own copies
    void* d = nullptr;
    int body = 0;
    int nq = 0, nv = 0, nbody = 0;
    std::int64_t period_ns = 0, budget_ns = 0;

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
    // Set once the scene stopped; a Reset clears it.
    std::atomic<bool> failed{false};
    char fault_text[300] = "";   // written before `failed` is first set
    bool fault_written = false;  // loop's side

    // Loop's side: how the scene is going.
    std::uint64_t warnings = 0;  // MuJoCo's instability warnings seen so far
    int overrun_run = 0;         // cycles in a row over the budget
    Vec3 last_good{};            // the force of the last cycle that went right
    Vec3 ramp_from{};
    // The ramp ends after 0.1 s of the loop's cycles or of the clock, whichever is first.
    std::int64_t ramp_cycles = 1, ramp_left = 0, ramp_start_ns = 0;

    ~Impl();
    Error Copy(const void* model, const void* data);
    Error Prepare(double period_s);
    Error ToolProblem() const;
    void Apply(const Request& r);
    void Publish(const Vec3& tool, const Vec3& force);
    void HandOver();
    void Substeps(const Vec3& x, const Vec3& v, Vec3& felt, Vec3& tool, bool& finite);
    std::uint64_t Warnings() const;
    const char* Unstable() const;
    void Stop(const char* format, ...);
    Vec3 RampOut(std::int64_t now_ns);

    const MujocoLayout& L() const { return library.Layout(); }
    const MujocoApi& A() const { return library.Api(); }
    double* Array(std::size_t offset) const { return ReadField<double*>(d, offset); }
    const int* ModelInts(std::size_t offset) const { return ReadField<int*>(m, offset); }
    const double* ModelDoubles(std::size_t offset) const { return ReadField<double*>(m, offset); }
};

MujocoScene::Impl::~Impl() {
    if (d != nullptr) {
        A().delete_data(d);
    }
    if (m != nullptr) {
        A().delete_model(m);
    }
}

// The scene's own model and data, copied by MuJoCo from the program's, once the data is
// known to be made for that model: a data for another model has other buffer sizes, or its
// arrays elsewhere in its buffer, than one MuJoCo makes for this model.
Error MujocoScene::Impl::Copy(const void* model, const void* data) {
    const MujocoApi& a = A();
    const MujocoLayout& l = L();
    const std::int64_t nq64 = ReadCount(model, l.nq, l.count_bytes);
    const std::int64_t nv64 = ReadCount(model, l.nv, l.count_bytes);
    const std::int64_t nbody64 = ReadCount(model, l.nbody, l.count_bytes);
    // The layout is checked against what the library itself says before anything is
    // read through it: something that is no model fails here.
    if (nq64 < 0 || nv64 < 0 || nbody64 < 1 || nq64 > (1 << 24) || nv64 > (1 << 24) ||
        nbody64 > (1 << 24) || a.state_size(model, l.state_qpos) != nq64 ||
        a.state_size(model, l.state_qvel) != nv64 ||
        a.state_size(model, l.state_xfrc_applied) != 6 * nbody64) {
        return Bad(std::string("scene: the model does not look like a MuJoCo ") +
                   library.Release() + " model (its sizes disagree with the library's)");
    }
    nq = static_cast<int>(nq64);
    nv = static_cast<int>(nv64);
    nbody = static_cast<int>(nbody64);
    try {
        MujocoErrorTrap trap;
        m = a.copy_model(nullptr, model);
        d = m != nullptr ? a.make_data(m) : nullptr;
    } catch (const MujocoFatal& fatal) {
        return Bad(std::string("scene: MuJoCo cannot copy the model: ") + fatal.message);
    }
    if (d == nullptr) {
        return Bad("scene: MuJoCo cannot copy the model");
    }
    auto where = [&l](const void* data_of, std::size_t field) {
        return ReadField<const char*>(data_of, field) - ReadField<const char*>(data_of, l.buffer);
    };
    for (std::size_t field : {l.nbuffer, l.narena}) {
        if (ReadField<std::int64_t>(data, field) != ReadField<std::int64_t>(d, field)) {
            return Bad("scene: the data was made for another model");
        }
    }
    for (std::size_t field : {l.qpos, l.qvel, l.xpos, l.xfrc_applied}) {
        if (where(data, field) != where(d, field)) {
            return Bad("scene: the data was made for another model");
        }
    }
    try {
        MujocoErrorTrap trap;
        a.copy_data(d, m, data);
    } catch (const MujocoFatal& fatal) {
        return Bad(std::string("scene: MuJoCo cannot copy the data: ") + fatal.message);
    }
    return {};
}

// What stops a body from being a tool the arm can push: it must move on its own joints.
Error MujocoScene::Impl::ToolProblem() const {
    const MujocoLayout& l = L();
    const std::string name = "scene: the tool body '" + params.body + "'";
    const char* needs = " (the tool body needs a free joint, or slide joints, of its own)";
    if (body == 0) {
        return Bad("scene: the tool cannot be the world body" + std::string(needs));
    }
    if (ModelInts(l.body_mocapid)[body] >= 0) {
        return Bad(name + " is a mocap body, which only its mocap position moves" + needs);
    }
    if (ModelInts(l.body_weldid)[body] == 0) {
        return Bad(name + " is fixed to the world" + needs);
    }
    const int count = ModelInts(l.body_jntnum)[body];
    if (count <= 0) {
        return Bad(name + " has no joint of its own and only moves with its parent" + needs);
    }
    const int first = ModelInts(l.body_jntadr)[body];
    const int* types = ModelInts(l.jnt_type);
    bool slides = false;
    for (int j = first; j < first + count; ++j) {
        slides = slides || types[j] == l.joint_free || types[j] == l.joint_slide;
    }
    if (!slides) {
        return Bad(name + " only turns on its joints, a push cannot move it" + needs);
    }
    // The pull is applied as a force, outside MuJoCo's integrator: a spring-damper on the
    // tool's mass is stable only while 2 b h + k h^2 < 4 m (h: the model's time step).
    double mass = ModelDoubles(l.body_mass)[body];
    if (!(mass > 0.0)) {
        mass = ModelDoubles(l.body_subtreemass)[body];
    }
    const double h = static_cast<double>(period_ns) / 1e9 / params.substeps;
    const double k = params.stiffness, b = params.damping;
    if (!(2.0 * b * h + k * h * h < 4.0 * mass)) {
        char text[400];
        std::snprintf(text, sizeof text,
                      "%s: stiffness %g N/m and damping %g N s/m shake the tool (mass %g kg) "
                      "at a step of %g ms: keep 2 damping step + stiffness step^2 below 4 mass "
                      "(damping below %g alone), or give the tool more mass or substeps",
                      name.c_str(), k, b, mass, h * 1e3, 2.0 * mass / h);
        return Bad(text);
    }
    return {};
}

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

Error MujocoScene::Impl::Prepare(double period_s) {
    const MujocoApi& a = A();
    body = a.name2id(m, L().object_body, params.body.c_str());
    if (body < 0) {
        return Bad("scene: the model has no body named '" + params.body + "'");
    }
    period_ns = static_cast<std::int64_t>(std::llround(period_s * 1e9));
    if (Error problem = ToolProblem()) {
        return problem;
    }

    WriteField<double>(m, L().timestep, period_s / params.substeps);
    budget_ns = params.step_budget_s > 0.0
                    ? static_cast<std::int64_t>(std::llround(params.step_budget_s * 1e9))
                    : period_ns / 2;
    ramp_cycles = std::max<std::int64_t>(1, std::llround(kRampOutS * 1e9 / period_ns));
    for (SceneSnapshot& s : snapshots) {
        s.qpos.assign(static_cast<std::size_t>(nq), 0.0);
        s.qvel.assign(static_cast<std::size_t>(nv), 0.0);
        s.touching.reserve(static_cast<std::size_t>(nbody));
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
    // The copy's counts start from nothing: MuJoCo resets them when it resets a state, and
    // counts the warning again after it.
    for (int w : {L().warn_badqpos, L().warn_badqvel, L().warn_badqacc}) {
        WriteField<int>(
            d, L().warning + static_cast<std::size_t>(w) * L().warning_size + L().warning_number,
            0);
    }
    warnings = Warnings();
    const double* xpos = Array(L().xpos);
    Publish({xpos[3 * body], xpos[3 * body + 1], xpos[3 * body + 2]}, {});
    return {};
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
    if ((error = impl->library.Open(params.library.c_str()))) {
        return nullptr;
    }
    if (!MujocoErrorTrap::Install(impl->library)) {
        error = {ErrorKind::NoDevice, "scene: the MuJoCo library has no error hook"};
        return nullptr;
    }
    if ((error = impl->Copy(params.model, params.data)) || (error = impl->Prepare(period_s))) {
        return nullptr;
    }
    return std::shared_ptr<MujocoScene>(new MujocoScene(std::move(impl)));
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
    return {ErrorKind::DeviceLost, impl_->fault_text};
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
