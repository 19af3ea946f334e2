// Opening a scene: the checks of its parameters, its own copies of the program's model and
// data, and the checks of its tool body.
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

constexpr int kMaxSubsteps = 100;
constexpr int kMaxOverrunLimit = 100000;

bool NotNegative(double v) {
    return std::isfinite(v) && v >= 0.0;
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

}  // namespace

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

MujocoScene::MujocoScene(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MujocoScene::~MujocoScene() = default;

Error MujocoScene::Open(const MujocoSceneParams& params, double period_s,
                        std::shared_ptr<MujocoScene>& scene) {
    scene.reset();
    if (const std::string problem = ParamsProblem(params, period_s); !problem.empty()) {
        return Bad(problem);
    }
    auto impl = std::make_unique<Impl>();
    impl->params = params;
    if (Error refused = impl->library.Open(params.library.c_str())) {
        return refused;
    }
    if (!MujocoErrorTrap::Install(impl->library)) {
        return {ErrorKind::Unsupported, "scene: the MuJoCo library has no error hook"};
    }
    if (Error refused = impl->Copy(params.model, params.data)) {
        return refused;
    }
    if (Error refused = impl->Prepare(period_s)) {
        return refused;
    }
    scene.reset(new MujocoScene(std::move(impl)));
    return {};
}

}  // namespace Orvane::HardwareAPI::Haptics
