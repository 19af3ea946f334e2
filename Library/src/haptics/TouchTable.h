// What the servo loop renders besides its effects: the couplings, the MuJoCo scene, and the
// workspace map and clutch they are seen through, with the soft start that eases them in.
// Writers (any thread) serialize on a mutex of their own that the loop thread never takes;
// the loop thread reads their changes through lock-free hand-overs and never waits.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "Orvane/HardwareAPI/Coupling.h"
#include "Orvane/HardwareAPI/Error.h"
#include "Orvane/HardwareAPI/MujocoScene.h"
#include "Orvane/HardwareAPI/Workspace.h"
#include "haptics/Coupling.h"
#include "haptics/LatestValue.h"
#include "haptics/SoftStart.h"
#include "haptics/Workspace.h"

namespace Orvane::HardwareAPI::Haptics {

class TouchTable {
public:
    static constexpr std::size_t kMaxCouplings = 8;

    // period_s: the loop's cycle, which bounds the passivity damping it can render.
    explicit TouchTable(double soft_start_s = 0.5, double period_s = 0.001);

    // Writers.
    Error AddCoupling(const CouplingParams& params, CouplingId& id);
    Error SetCouplingParams(CouplingId id, const CouplingParams& params);
    Error MoveTarget(CouplingId id, const CouplingTarget& target);
    // Both at once, checked whole first: the loop sees both in the same cycle, or neither.
    Error ChangeCoupling(CouplingId id, const CouplingParams& params, const CouplingTarget& target);
    Error RemoveCoupling(CouplingId id);
    // The state the loop last reported; NotFound for an id that names no coupling.
    Error CouplingStateOf(CouplingId id, CouplingState& state) const;

    Error SetWorkspace(const WorkspaceMap& map);
    // As the loop last used it (re-based by the clutch), or as last set until the loop took it.
    WorkspaceMap Workspace() const;
    void Clutch(bool engaged);
    bool Clutched() const;

    // The scene stays alive until the loop has let go of it. nullptr clears it.
    void SetScene(std::shared_ptr<MujocoScene> scene);
    std::shared_ptr<MujocoScene> Scene() const;

    // Loop thread. Restart when rendering begins (soft start from zero).
    void Restart(std::int64_t now_ns);
    // A cycle's scene-side force in two stages, ToScene then SceneForce (Force does both).
    // ToScene: the workspace map; takes the map and clutch changes, and gives the arm's
    // state at x, v as the scene sees it.
    struct SceneState {
        Vec3 x{}, v{};
    };
    SceneState ToScene(const Vec3& x, const Vec3& v, std::int64_t now_ns);
    // SceneForce: the force on the arm (device coordinates) of the couplings, the scene and
    // the given effects (evaluated in scene coordinates), for the arm at `at` in this cycle
    // of dt_s; false when there was nothing to render (force then untouched).
    bool SceneForce(const SceneState& at, std::int64_t now_ns, double dt_s,
                    const Effect* scene_effects, std::size_t count, Vec3& force);
    bool Force(const Vec3& x, const Vec3& v, std::int64_t now_ns, double dt_s,
               const Effect* scene_effects, std::size_t count, Vec3& force) {
        return SceneForce(ToScene(x, v, now_ns), now_ns, dt_s, scene_effects, count, force);
    }
    // After Force, once the loop's limits are applied: the part of that force that went out
    // (ForceResult::touch_share). The couplings report their part of it.
    void Rendered(double part);
    // The soft start's share now, for the loop's other effects.
    double Share(std::int64_t now_ns) const;
    // After the loop thread ended: nothing reads the scenes any more.
    void LoopEnded();
    // Coupling cycles in which passivity damping acted, over all couplings; any thread.
    std::uint64_t PassivityCycles() const {
        return passivity_cycles_.load(std::memory_order_relaxed);
    }

private:
    struct CouplingCommand {
        std::uint32_t generation = 0;
        bool active = false;
        CouplingParams params{};
        std::uint64_t params_serial = 0;
        CouplingTarget target{};
        std::uint64_t target_serial = 0;
        // target_serial when the coupling was added: moves after it are the coupling's, also
        // when the loop first sees the coupling together with them.
        std::uint64_t added_target_serial = 0;
    };
    struct PublishedState {
        std::uint32_t generation = 0;
        bool active = false;
        CouplingState state{};
    };
    struct PublishedMap {
        std::uint64_t serial = 0;
        WorkspaceMap map{};
    };
    struct CouplingSlot {
        // writers' side
        CouplingCommand command;
        // hand-overs
        LatestValue<CouplingCommand> to_loop;
        LatestValue<PublishedState> from_loop;
        // loop's side
        CouplingRenderer renderer{CouplingParams{}};
        std::uint32_t generation = 0;
        bool active = false;
        std::uint64_t params_serial = 0, target_serial = 0;
    };
    struct WorkspaceCommand {
        WorkspaceMap map{};
        std::uint64_t map_serial = 0;
        bool clutched = false;
    };
    struct SceneCommand {
        MujocoScene* scene = nullptr;
        std::uint64_t serial = 0;
    };

    Error Change(CouplingId id, const CouplingParams* params, const CouplingTarget* target);
    CouplingSlot* Live(CouplingId id);
    const CouplingSlot* Live(CouplingId id) const;
    void Retire();  // writers: lets go of scenes the loop no longer holds

    const double period_s_;
    mutable std::mutex writers_;
    std::array<CouplingSlot, kMaxCouplings> couplings_;
    WorkspaceCommand workspace_command_;
    LatestValue<WorkspaceCommand> workspace_to_loop_;
    LatestValue<PublishedMap> workspace_from_loop_;
    std::shared_ptr<MujocoScene> scene_;
    std::uint64_t scene_serial_ = 0;
    std::vector<std::pair<std::uint64_t, std::shared_ptr<MujocoScene>>> retired_;
    LatestValue<SceneCommand> scene_to_loop_;
    std::atomic<std::uint64_t> scene_acked_{0};
    mutable std::mutex readers_;

    // Loop's side.
    Haptics::Workspace workspace_;
    std::uint64_t map_serial_ = 0;
    SoftStart soft_start_;
    MujocoScene* loop_scene_ = nullptr;
    std::size_t loop_couplings_ = 0;  // active ones, as the loop last saw them
    std::atomic<std::uint64_t> passivity_cycles_{0};
};

}  // namespace Orvane::HardwareAPI::Haptics
