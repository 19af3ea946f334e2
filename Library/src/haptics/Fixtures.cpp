#include "haptics/Fixtures.h"

#include <algorithm>
#include <cmath>

#include "haptics/Vectors.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

using namespace Vectors;

bool NotNegative(double v) {
    return std::isfinite(v) && v >= 0.0;
}

std::string GainProblem(const char* what, double stiffness, double damping) {
    if (!NotNegative(stiffness) || !NotNegative(damping)) {
        return std::string(what) + ": stiffness and damping must be finite numbers, 0 or more";
    }
    return {};
}

std::string DirectionProblem(const char* what, const char* name, const Vec3& d) {
    if (!Finite(d)) {
        return std::string(what) + ": the " + name + " must be finite";
    }
    if (UnitOrZero(d) == Vec3{}) {
        return std::string(what) + ": the " + name + " must have a direction (not all zero)";
    }
    return {};
}

// Pushes along the unit normal n at penetration depth p (> 0), never pulls: a region that
// pulled the device back in as it left would hold it at its surface.
Vec3 PushOut(const Vec3& n, double p, const Vec3& v, double stiffness, double damping) {
    return Scaled(n, std::max(0.0, stiffness * p - damping * Dot(v, n)));
}

}  // namespace

std::string FixtureProblem(const PlaneGuide& f) {
    if (!Finite(f.point)) {
        return "plane guide: the point must be finite";
    }
    if (std::string p = DirectionProblem("plane guide", "normal", f.normal); !p.empty()) {
        return p;
    }
    return GainProblem("plane guide", f.stiffness, f.damping);
}

std::string FixtureProblem(const LineGuide& f) {
    if (!Finite(f.point)) {
        return "line guide: the point must be finite";
    }
    if (std::string p = DirectionProblem("line guide", "direction", f.direction); !p.empty()) {
        return p;
    }
    return GainProblem("line guide", f.stiffness, f.damping);
}

std::string FixtureProblem(const Sphere& f) {
    if (!Finite(f.center)) {
        return "sphere: the center must be finite";
    }
    if (!(std::isfinite(f.radius) && f.radius > 0.0)) {
        return "sphere: the radius must be a finite number above 0";
    }
    return GainProblem("sphere", f.stiffness, f.damping);
}

std::string FixtureProblem(const Box& f) {
    if (!Finite(f.minimum) || !Finite(f.maximum)) {
        return "box: minimum and maximum must be finite";
    }
    for (int i = 0; i < 3; ++i) {
        if (!(f.minimum[i] < f.maximum[i])) {
            return "box: the minimum must lie below the maximum on every axis";
        }
    }
    return GainProblem("box", f.stiffness, f.damping);
}

PlaneGuide Normalised(const PlaneGuide& f) {
    PlaneGuide out = f;
    out.normal = UnitOrZero(f.normal);
    return out;
}

LineGuide Normalised(const LineGuide& f) {
    LineGuide out = f;
    out.direction = UnitOrZero(f.direction);
    return out;
}

Vec3 FixtureForce(const PlaneGuide& f, const Vec3& x, const Vec3& v) {
    const double d = Dot(Difference(x, f.point), f.normal);
    return Scaled(f.normal, -f.stiffness * d - f.damping * Dot(v, f.normal));
}

Vec3 FixtureForce(const LineGuide& f, const Vec3& x, const Vec3& v) {
    const Vec3& u = f.direction;
    const Vec3 r = Difference(x, f.point);
    const Vec3 across = Difference(r, Scaled(u, Dot(r, u)));
    const Vec3 v_across = Difference(v, Scaled(u, Dot(v, u)));
    return Sum(Scaled(across, -f.stiffness), Scaled(v_across, -f.damping));
}

Vec3 FixtureForce(const Sphere& f, const Vec3& x, const Vec3& v) {
    const Vec3 r = Difference(x, f.center);
    const double distance = Norm(r);
    if (f.inside) {
        if (!(distance > f.radius)) {
            return {};
        }
        return PushOut(Scaled(r, -1.0 / distance), distance - f.radius, v, f.stiffness, f.damping);
    }
    if (!(distance < f.radius)) {
        return {};
    }
    // At the very center every way out is as short; up is as good as any.
    const Vec3 n = distance > 0.0 ? Scaled(r, 1.0 / distance) : Vec3{0.0, 0.0, 1.0};
    return PushOut(n, f.radius - distance, v, f.stiffness, f.damping);
}

Vec3 FixtureForce(const Box& f, const Vec3& x, const Vec3& v) {
    if (f.inside) {
        Vec3 force{};
        for (int i = 0; i < 3; ++i) {
            if (x[i] < f.minimum[i]) {
                force[i] = std::max(0.0, f.stiffness * (f.minimum[i] - x[i]) - f.damping * v[i]);
            } else if (x[i] > f.maximum[i]) {
                force[i] = std::min(0.0, f.stiffness * (f.maximum[i] - x[i]) - f.damping * v[i]);
            }
        }
        return force;
    }
    for (int i = 0; i < 3; ++i) {
        if (!(x[i] > f.minimum[i] && x[i] < f.maximum[i])) {
            return {};
        }
    }
    // Out through the nearest face; on a tie the first of -x, +x, -y, +y, -z, +z.
    int axis = 0;
    double sign = -1.0;
    double depth = x[0] - f.minimum[0];
    for (int i = 0; i < 3; ++i) {
        const double below = x[i] - f.minimum[i];
        const double above = f.maximum[i] - x[i];
        if (below < depth) {
            depth = below, axis = i, sign = -1.0;
        }
        if (above < depth) {
            depth = above, axis = i, sign = 1.0;
        }
    }
    Vec3 n{};
    n[axis] = sign;
    return PushOut(n, depth, v, f.stiffness, f.damping);
}

}  // namespace Orvane::HardwareAPI::Haptics
