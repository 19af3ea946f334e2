// How the arm's space maps onto a scene's: scene = scale · R · device + offset. Couplings,
// fixtures and scenes work in scene coordinates; their forces come back to the arm as
// scale · Rᵀ · F, so the power the scene sees is the power the arm sees.
#pragma once

#include <array>

#include "Effects.h"
#include "Error.h"

namespace Orvane::HardwareAPI::Haptics {

using Matrix3 = std::array<double, 9>;  // row by row

struct WorkspaceMap {
    double scale = 1.0;
    Vec3 offset{};
    Matrix3 rotation{1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
};

// Kind None when the map can be used (finite, scale above 0, a proper rotation); otherwise
// BadArgument saying what is wrong.
Error CheckWorkspace(const WorkspaceMap& map);

// The rotation of the quaternion (w, x, y, z), of any length but zero; BadArgument when it
// is zero or not finite.
Error RotationFromQuaternion(const std::array<double, 4>& wxyz, Matrix3& rotation);

}  // namespace Orvane::HardwareAPI::Haptics
