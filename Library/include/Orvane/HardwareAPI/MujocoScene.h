// A MuJoCo scene the arm touches: on every cycle of the servo loop a named body of the
// model (the tool) is pulled by a spring-damper towards the arm's position in scene
// coordinates, the model is stepped, and the arm feels the opposite of that pull, so every
// contact of the tool is felt. The MuJoCo library is the one the program loaded (the mujoco
// Python package's libmujoco). The scene steps copies of the model and data that it makes
// when it opens: what the program does with its own afterwards never reaches the loop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Effects.h"
#include "Error.h"
#include "ServoLoop.h"

namespace Orvane::HardwareAPI::Haptics {

struct MujocoSceneParams {
    std::string library;    // path of the MuJoCo library that made model and data
    void* model = nullptr;  // its mjModel*, copied when the scene opens
    void* data = nullptr;   // its mjData*, made for that model, copied when the scene opens
    std::string body = "tool";
    double stiffness = 0.0;  // N/m, of the pull on the tool
    double damping = 0.0;    // N s/m, on the tool's velocity relative to the arm's
    int substeps = 1;        // model steps per loop cycle; its time step is period / substeps
    double max_force = 0.0;  // N, a limit on the pull; 0: only the loop's limit
    // How long one cycle's stepping may take (s; 0: half the loop's period), and after how
    // many cycles in a row over it the scene is stopped so the loop keeps its rate.
    double step_budget_s = 0.0;
    int overrun_limit = 20;
};

// The scene as it was after one whole cycle.
struct SceneSnapshot {
    double time = 0.0;        // the model's time, s
    std::uint64_t cycle = 0;  // cycles stepped so far
    std::vector<double> qpos, qvel;
    int contacts = 0;
    std::vector<int> touching;  // ids of the bodies the tool is in contact with
    Vec3 tool{};                // the tool body's position
    Vec3 force{};               // the force on the arm, in scene coordinates
};

struct SceneStats {
    std::uint64_t cycles = 0;
    std::uint64_t overruns = 0;  // cycles whose stepping took longer than the loop's period
    std::uint64_t unstable = 0;  // cycles that went wrong (no force from them)
    Percentiles step_us;         // time to step one cycle
};

class MujocoScene {
public:
    // Checks everything, copies model and data and prepares the copies for a loop of
    // period_s (their time step is set to period_s / substeps) into `scene`; otherwise
    // `scene` is nullptr and the error says why: BadArgument for a value (a data made for
    // another model, a tool body that cannot move), Unsupported for a library that is
    // missing, is not MuJoCo, or is of a release this build has no layout for.
    static Error Open(const MujocoSceneParams& params, double period_s,
                      std::shared_ptr<MujocoScene>& scene);
    MujocoScene(const MujocoScene&) = delete;
    MujocoScene& operator=(const MujocoScene&) = delete;
    ~MujocoScene();

    // One cycle, from one thread at a time (the servo loop's): applies a pending SetState
    // or Reset, steps the model with the tool pulled towards x (velocity v, scene
    // coordinates) and returns the force on the arm. No allocation, no lock.
    Vec3 Step(const Vec3& x, const Vec3& v);

    // Any thread, any time.
    void Snapshot(SceneSnapshot& out) const;
    // Set when the scene stopped (kind NotRunning): MuJoCo failed in a step, found its state
    // unstable, positions, velocities or accelerations ran away, or steps overran their
    // budget too often. Its force is ramped out and nothing is stepped until a Reset.
    Error Fault() const;
    SceneStats Stats() const;
    int PositionCount() const;  // nq
    int VelocityCount() const;  // nv
    const char* Release() const;

    // Changes the next cycle applies; the model is never touched from here.
    Error SetState(const std::vector<double>& qpos, const std::vector<double>& qvel);
    void Reset();

private:
    struct Impl;
    explicit MujocoScene(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace Orvane::HardwareAPI::Haptics
