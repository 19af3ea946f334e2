// Guidance fixtures and forbidden regions for the servo loop: effects like the others in
// Effects.h, but seen in scene coordinates (through the loop's workspace map and clutch)
// and eased in by its soft start. Forces in N, positions in m, stiffness in N/m, damping in
// N s/m.
#pragma once

#include <array>

namespace Orvane::HardwareAPI::Haptics {

using Vec3 = std::array<double, 3>;

// Pulls towards the plane through `point` with `normal` (any length but zero) from either
// side: F = (-stiffness d - damping (v·n)) n with d = (x - point)·n. Motion within the
// plane is free.
struct PlaneGuide {
    Vec3 point{};
    Vec3 normal{0.0, 0.0, 1.0};
    double stiffness = 0.0;
    double damping = 0.0;
};

// Pulls towards the line through `point` along `direction` (any length but zero): a spring
// and a damper on the part of the offset and of the velocity across the line. Motion along
// the line is free.
struct LineGuide {
    Vec3 point{};
    Vec3 direction{1.0, 0.0, 0.0};
    double stiffness = 0.0;
    double damping = 0.0;
};

// A ball the device may not enter (inside = false), or may not leave (inside = true). At
// penetration depth p past the surface it pushes back along the surface normal n with
// stiffness p - damping (v·n), never pulling.
struct Sphere {
    Vec3 center{};
    double radius = 0.0;
    double stiffness = 0.0;
    double damping = 0.0;
    bool inside = false;
};

// An axis-aligned box the device may not enter (inside = false: pushed out through the
// nearest face), or may not leave (inside = true: each axis past a face pushed back on its
// own, so a corner pushes along the diagonal).
struct Box {
    Vec3 minimum{};
    Vec3 maximum{};
    double stiffness = 0.0;
    double damping = 0.0;
    bool inside = false;
};

}  // namespace Orvane::HardwareAPI::Haptics
