#include <cmath>
#include <string>
#include <type_traits>
#include <variant>

#include "Orvane/HardwareAPI/Effects.h"
#include "haptics/Fixtures.h"
#include "haptics/VecMath.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

bool Gain(double v) {
    return std::isfinite(v) && v >= 0.0;
}

struct ProblemVisitor {
    std::string operator()(const ConstantForce& e) const {
        return Finite(e.force) ? std::string() : "a constant force's force must be finite";
    }
    std::string operator()(const Spring& e) const {
        if (!Gain(e.stiffness) || !Gain(e.damping)) {
            return "a spring's stiffness and damping must be finite numbers, 0 or more";
        }
        return Finite(e.center) ? std::string() : "a spring's center must be finite";
    }
    std::string operator()(const Damper& e) const {
        return Gain(e.damping) ? std::string()
                               : "a damper's damping must be a finite number, 0 or more";
    }
    std::string operator()(const Wall& e) const {
        if (!Gain(e.stiffness) || !Gain(e.damping)) {
            return "a wall's stiffness and damping must be finite numbers, 0 or more";
        }
        if (!Finite(e.point)) {
            return "a wall's point must be finite";
        }
        if (!Finite(e.normal)) {
            return "a wall's normal must be finite";
        }
        if (!(LargestMagnitude(e.normal) > 0.0)) {
            return "a wall's normal must have a direction (not all zero)";
        }
        return {};
    }
    template <typename F>
    std::string operator()(const F& fixture) const {
        return FixtureProblem(fixture);
    }
};

}  // namespace

bool IsFixture(const Effect& effect) {
    return std::holds_alternative<PlaneGuide>(effect) ||
           std::holds_alternative<LineGuide>(effect) || std::holds_alternative<Sphere>(effect) ||
           std::holds_alternative<Box>(effect);
}

Error CheckEffect(const Effect& effect) {
    std::string problem = std::visit(ProblemVisitor{}, effect);
    if (problem.empty()) {
        return {};
    }
    return {ErrorKind::BadArgument, std::move(problem)};
}

Effect Normalised(const Effect& effect) {
    Effect out = effect;
    if (Wall* wall = std::get_if<Wall>(&out)) {
        const double n = Norm(wall->normal);
        if (n > 0.0 && std::isfinite(n)) {
            // Dividing each component by the length directly keeps a normal such as
            // (1e-320, 0, 0), whose reciprocal length would overflow.
            for (double& c : wall->normal) {
                c /= n;
            }
        }
    } else if (PlaneGuide* plane = std::get_if<PlaneGuide>(&out)) {
        *plane = Normalised(*plane);
    } else if (LineGuide* line = std::get_if<LineGuide>(&out)) {
        *line = Normalised(*line);
    }
    return out;
}

}  // namespace Orvane::HardwareAPI::Haptics
