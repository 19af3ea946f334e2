// The forces of the fixtures in Fixtures.h and the checks that keep bad values out of the
// loop. Pure computation, no allocation in the force functions.
#pragma once

#include <string>

#include "Orvane/HardwareAPI/Fixtures.h"

namespace Orvane::HardwareAPI::Haptics {

// Empty when the fixture can be rendered; otherwise what is wrong with it.
std::string FixtureProblem(const PlaneGuide& f);
std::string FixtureProblem(const LineGuide& f);
std::string FixtureProblem(const Sphere& f);
std::string FixtureProblem(const Box& f);

// The fixture as the loop renders it: normals and directions of unit length. Only for
// fixtures without a problem.
PlaneGuide Normalised(const PlaneGuide& f);
LineGuide Normalised(const LineGuide& f);

// The force at position x, velocity v. Plane and line expect a normalised fixture.
Vec3 FixtureForce(const PlaneGuide& f, const Vec3& x, const Vec3& v);
Vec3 FixtureForce(const LineGuide& f, const Vec3& x, const Vec3& v);
Vec3 FixtureForce(const Sphere& f, const Vec3& x, const Vec3& v);
Vec3 FixtureForce(const Box& f, const Vec3& x, const Vec3& v);

}  // namespace Orvane::HardwareAPI::Haptics
