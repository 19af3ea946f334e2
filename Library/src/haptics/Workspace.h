// The loop's side of the workspace map and the clutch. While the clutch is held the arm
// moves freely and the scene's point stays where it was; on release the map is re-based so
// the scene goes on from that point. Loop thread only; no allocation.
#pragma once

#include "Orvane/HardwareAPI/Workspace.h"

namespace Orvane::HardwareAPI::Haptics {

class Workspace {
public:
    explicit Workspace(const WorkspaceMap& map = {}) : map_(map) {}

    // A new map; takes effect at once, also while the clutch is held.
    void Set(const WorkspaceMap& map) { map_ = map; }
    // The map in force, with the offset every release of the clutch re-based.
    const WorkspaceMap& Map() const { return map_; }

    Vec3 ToScene(const Vec3& device_x) const;
    Vec3 VelocityToScene(const Vec3& device_v) const;
    // Zero while the clutch is held: the arm is free then.
    Vec3 ForceToDevice(const Vec3& scene_force) const;

    // Engages or releases the clutch with the arm at device_x; true when that changed it.
    bool Clutch(bool engaged, const Vec3& device_x);
    bool Clutched() const { return clutched_; }

private:
    Vec3 Rotated(const Vec3& a) const;

    WorkspaceMap map_;
    bool clutched_ = false;
    Vec3 held_{};  // the scene point while the clutch is held
};

}  // namespace Orvane::HardwareAPI::Haptics
