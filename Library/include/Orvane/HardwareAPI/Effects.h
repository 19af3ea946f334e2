// Force effects the servo loop renders from the arm's newest state. Plain values: copy one,
// change it, hand it to ServoLoop::Add or ServoLoop::Update. Forces in N, positions in m,
// velocities in m/s.
#pragma once

#include <array>
#include <variant>

#include "Error.h"
#include "Fixtures.h"

namespace Orvane::HardwareAPI::Haptics {

using Vec3 = std::array<double, 3>;

// The same force whatever the arm does.
struct ConstantForce {
    Vec3 force{};
};

// Pulls towards `center`: F = -stiffness (x - center) - damping v.
struct Spring {
    Vec3 center{};
    double stiffness = 0.0;
    double damping = 0.0;
};

// Resists motion: F = -damping v.
struct Damper {
    double damping = 0.0;
};

// A plane through `point` whose `normal` points out of the wall (any length but zero).
// Inside the wall, at depth d = (x - point)·n < 0, it pushes out along n with
// F = (-stiffness d - damping (v·n)) n; outside it does nothing.
struct Wall {
    Vec3 point{};
    Vec3 normal{1.0, 0.0, 0.0};
    double stiffness = 0.0;
    double damping = 0.0;
};

using Effect =
    std::variant<ConstantForce, Spring, Damper, Wall, PlaneGuide, LineGuide, Sphere, Box>;

// Fixtures are rendered in scene coordinates, the other effects in the arm's own.
bool IsFixture(const Effect& effect);

// Kind None when the effect can be rendered; otherwise BadArgument saying what is wrong.
Error CheckEffect(const Effect& effect);

// The effect as the loop renders it: directions scaled to unit length. Only for effects
// that CheckEffect takes.
Effect Normalised(const Effect& effect);

}  // namespace Orvane::HardwareAPI::Haptics
