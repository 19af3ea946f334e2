#include "haptics/TouchTable.h"

#include "haptics/ForceModel.h"
#include "haptics/Vectors.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

using namespace Vectors;

constexpr std::uint32_t kGenerations = UINT32_MAX / TouchTable::kMaxCouplings;

std::size_t SlotOf(CouplingId id) {
    return (id - 1) % TouchTable::kMaxCouplings;
}

std::uint32_t GenerationOf(CouplingId id) {
    return (id - 1) / TouchTable::kMaxCouplings;
}

Error Bad(std::string text) {
    return {ErrorKind::BadArgument, std::move(text)};
}

Error NoSuchCoupling() {
    return {ErrorKind::NotFound, "no such coupling (removed, or never added)"};
}

}  // namespace

TouchTable::TouchTable(double soft_start_s, double period_s)
    : period_s_(period_s), soft_start_(soft_start_s) {}

TouchTable::CouplingSlot* TouchTable::Live(CouplingId id) {
    CouplingSlot* slot = id == 0 ? nullptr : &couplings_[SlotOf(id)];
    return slot != nullptr && slot->command.active && slot->command.generation == GenerationOf(id)
               ? slot
               : nullptr;
}

const TouchTable::CouplingSlot* TouchTable::Live(CouplingId id) const {
    return const_cast<TouchTable*>(this)->Live(id);
}

Error TouchTable::AddCoupling(const CouplingParams& params, CouplingId& id) {
    id = 0;
    if (Error refused = CheckCoupling(params)) {
        return refused;
    }
    if (Error refused = CheckPassivity(params, period_s_)) {
        return refused;
    }
    std::lock_guard<std::mutex> hold(writers_);
    for (std::size_t i = 0; i < kMaxCouplings; ++i) {
        CouplingSlot& slot = couplings_[i];
        if (slot.command.active) {
            continue;
        }
        CouplingCommand& c = slot.command;
        c.active = true;
        c.params = params;
        ++c.params_serial;
        c.target = {};
        c.added_target_serial = c.target_serial;
        slot.to_loop.Write(c);
        id = static_cast<CouplingId>(c.generation * kMaxCouplings + i + 1);
        return {};
    }
    return Bad("no room for another coupling (at most " + std::to_string(kMaxCouplings) + ")");
}

Error TouchTable::SetCouplingParams(CouplingId id, const CouplingParams& params) {
    return Change(id, &params, nullptr);
}

Error TouchTable::MoveTarget(CouplingId id, const CouplingTarget& target) {
    return Change(id, nullptr, &target);
}

Error TouchTable::ChangeCoupling(CouplingId id, const CouplingParams& params,
                                 const CouplingTarget& target) {
    return Change(id, &params, &target);
}

// Every part of a change is checked before any of it reaches the loop, which takes the
// parameters and the target of one command in the same cycle.
Error TouchTable::Change(CouplingId id, const CouplingParams* params,
                         const CouplingTarget* target) {
    if (params != nullptr) {
        if (Error refused = CheckCoupling(*params)) {
            return refused;
        }
        if (Error refused = CheckPassivity(*params, period_s_)) {
            return refused;
        }
    }
    if (target != nullptr) {
        if (Error refused = CheckTarget(*target)) {
            return refused;
        }
    }
    std::lock_guard<std::mutex> hold(writers_);
    CouplingSlot* slot = Live(id);
    if (slot == nullptr) {
        return NoSuchCoupling();
    }
    if (params != nullptr) {
        slot->command.params = *params;
        ++slot->command.params_serial;
    }
    if (target != nullptr) {
        slot->command.target = *target;
        ++slot->command.target_serial;
    }
    slot->to_loop.Write(slot->command);
    return {};
}

Error TouchTable::RemoveCoupling(CouplingId id) {
    std::lock_guard<std::mutex> hold(writers_);
    CouplingSlot* slot = Live(id);
    if (slot == nullptr) {
        return NoSuchCoupling();
    }
    slot->command.active = false;
    slot->command.generation = (slot->command.generation + 1) % kGenerations;
    slot->to_loop.Write(slot->command);
    return {};
}

Error TouchTable::CouplingStateOf(CouplingId id, CouplingState& state) const {
    std::lock_guard<std::mutex> hold(writers_);
    const CouplingSlot* slot = Live(id);
    if (slot == nullptr) {
        return NoSuchCoupling();
    }
    std::lock_guard<std::mutex> read(readers_);
    auto& from_loop = const_cast<LatestValue<PublishedState>&>(slot->from_loop);
    from_loop.Update();
    const PublishedState& p = from_loop.Front();
    if (p.active && p.generation == slot->command.generation) {
        state = p.state;
    } else {
        // The loop has not rendered this coupling yet.
        state = {};
        state.target = slot->command.params.target;
    }
    return {};
}

Error TouchTable::SetWorkspace(const WorkspaceMap& map) {
    if (Error refused = CheckWorkspace(map)) {
        return refused;
    }
    std::lock_guard<std::mutex> hold(writers_);
    workspace_command_.map = map;
    ++workspace_command_.map_serial;
    workspace_to_loop_.Write(workspace_command_);
    return {};
}

WorkspaceMap TouchTable::Workspace() const {
    std::lock_guard<std::mutex> hold(writers_);
    std::lock_guard<std::mutex> read(readers_);
    auto& from_loop = const_cast<LatestValue<PublishedMap>&>(workspace_from_loop_);
    from_loop.Update();
    const PublishedMap& p = from_loop.Front();
    return p.serial == workspace_command_.map_serial ? p.map : workspace_command_.map;
}

void TouchTable::Clutch(bool engaged) {
    std::lock_guard<std::mutex> hold(writers_);
    workspace_command_.clutched = engaged;
    workspace_to_loop_.Write(workspace_command_);
}

bool TouchTable::Clutched() const {
    std::lock_guard<std::mutex> hold(writers_);
    return workspace_command_.clutched;
}

void TouchTable::Retire() {
    const std::uint64_t acked = scene_acked_.load(std::memory_order_acquire);
    std::erase_if(retired_, [acked](const auto& r) { return r.first <= acked; });
}

void TouchTable::SetScene(std::shared_ptr<MujocoScene> scene) {
    std::lock_guard<std::mutex> hold(writers_);
    ++scene_serial_;
    if (scene_) {
        // Held until the loop has taken the change that replaces it.
        retired_.emplace_back(scene_serial_, std::move(scene_));
    }
    scene_ = std::move(scene);
    scene_to_loop_.Write({scene_.get(), scene_serial_});
    Retire();
}

std::shared_ptr<MujocoScene> TouchTable::Scene() const {
    std::lock_guard<std::mutex> hold(writers_);
    return scene_;
}

void TouchTable::LoopEnded() {
    std::lock_guard<std::mutex> hold(writers_);
    scene_acked_.store(scene_serial_, std::memory_order_release);
    Retire();
}

void TouchTable::Restart(std::int64_t now_ns) {
    soft_start_.Restart(now_ns);
}

double TouchTable::Share(std::int64_t now_ns) const {
    return soft_start_.Share(now_ns);
}

TouchTable::SceneState TouchTable::ToScene(const Vec3& x, const Vec3& v, std::int64_t now_ns) {
    if (workspace_to_loop_.Update()) {
        const WorkspaceCommand& w = workspace_to_loop_.Front();
        bool changed = false;
        if (w.map_serial != map_serial_) {
            map_serial_ = w.map_serial;
            const bool clutched = workspace_.Clutched();
            workspace_.Set(w.map);
            if (clutched) {
                // A new map while the clutch is held takes effect from the held point.
                workspace_.Clutch(false, x);
                workspace_.Clutch(true, x);
            }
            changed = true;
        }
        if (workspace_.Clutch(w.clutched, x)) {
            changed = true;
            if (!w.clutched) {
                soft_start_.Restart(now_ns);
            }
        }
        if (changed) {
            workspace_from_loop_.Write({map_serial_, workspace_.Map()});
        }
    }
    return {workspace_.ToScene(x), workspace_.VelocityToScene(v)};
}

bool TouchTable::SceneForce(const SceneState& at, std::int64_t now_ns, double dt_s,
                            const Effect* scene_effects, std::size_t count, Vec3& force) {
    if (scene_to_loop_.Update()) {
        loop_scene_ = scene_to_loop_.Front().scene;
        scene_acked_.store(scene_to_loop_.Front().serial, std::memory_order_release);
    }

    const Vec3& xs = at.x;
    const Vec3& vs = at.v;
    const double share = soft_start_.Share(now_ns);
    Vec3 scene_force{};
    loop_couplings_ = 0;
    for (CouplingSlot& slot : couplings_) {
        if (slot.to_loop.Update()) {
            const CouplingCommand& c = slot.to_loop.Front();
            if (c.generation != slot.generation || c.active != slot.active) {
                slot.renderer = CouplingRenderer(c.params);
                slot.generation = c.generation;
                slot.active = c.active;
                slot.target_serial = c.added_target_serial;
            } else if (c.params_serial != slot.params_serial) {
                slot.renderer.SetParams(c.params);
            }
            slot.params_serial = c.params_serial;
            if (c.target_serial != slot.target_serial) {
                slot.renderer.Push(c.target, now_ns);
                slot.target_serial = c.target_serial;
            }
        }
        if (!slot.active) {
            continue;
        }
        ++loop_couplings_;
        const std::uint64_t damped_before = slot.renderer.State().passivity_cycles;
        scene_force = Sum(scene_force,
                          slot.renderer.Force(xs, vs, now_ns, dt_s, share, workspace_.Map().scale));
        if (slot.renderer.State().passivity_cycles != damped_before) {
            passivity_cycles_.fetch_add(1, std::memory_order_relaxed);
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        scene_force = Sum(scene_force, Scaled(EffectForce(scene_effects[i], xs, vs), share));
    }
    if (loop_scene_ != nullptr) {
        scene_force = Sum(scene_force, Scaled(loop_scene_->Step(xs, vs), share));
    }
    if (loop_couplings_ == 0 && count == 0 && loop_scene_ == nullptr) {
        return false;
    }
    force = workspace_.ForceToDevice(scene_force);
    return true;
}

void TouchTable::Rendered(double part) {
    // The map takes a scene force to the arm linearly, so the part of the sum that went out
    // is the part of each coupling's force; nothing of it while the clutch is held.
    const double felt = workspace_.Clutched() ? 0.0 : part;
    for (CouplingSlot& slot : couplings_) {
        if (slot.active) {
            slot.renderer.Rendered(felt);
            slot.from_loop.Write({slot.generation, true, slot.renderer.State()});
        }
    }
}

}  // namespace Orvane::HardwareAPI::Haptics
