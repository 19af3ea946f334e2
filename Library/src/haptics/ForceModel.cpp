#include "haptics/ForceModel.h"

#include <algorithm>
#include <cmath>

namespace Orvane::HardwareAPI::Haptics {
namespace {

double Dot(const Vec3& a, const Vec3& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

double Norm(const Vec3& a) {
    return std::sqrt(Dot(a, a));
}

Vec3 Scaled(const Vec3& a, double s) {
    return {a[0] * s, a[1] * s, a[2] * s};
}

void AddTo(Vec3& sum, const Vec3& a) {
    for (int i = 0; i < 3; ++i) {
        sum[i] += a[i];
    }
}

bool Finite(const Vec3& a) {
    return std::isfinite(a[0]) && std::isfinite(a[1]) && std::isfinite(a[2]);
}

// -k (x - c) - b v
Vec3 SpringForce(const Vec3& x, const Vec3& c, double k, const Vec3& v, double b) {
    return {-k * (x[0] - c[0]) - b * v[0], -k * (x[1] - c[1]) - b * v[1],
            -k * (x[2] - c[2]) - b * v[2]};
}

struct EffectVisitor {
    const Vec3& x;
    const Vec3& v;

    Vec3 operator()(const ConstantForce& e) const { return e.force; }
    Vec3 operator()(const Spring& e) const {
        return SpringForce(x, e.center, e.stiffness, v, e.damping);
    }
    Vec3 operator()(const Damper& e) const { return Scaled(v, -e.damping); }
    Vec3 operator()(const Wall& e) const {
        const double length = Norm(e.normal);
        // A wall without a direction has no inside.
        if (!(length > 0.0)) {
            return {};
        }
        const Vec3 n = Scaled(e.normal, 1.0 / length);
        const Vec3 offset{x[0] - e.point[0], x[1] - e.point[1], x[2] - e.point[2]};
        const double depth = Dot(offset, n);
        if (!(depth < 0.0)) {
            return {};
        }
        return Scaled(n, -e.stiffness * depth - e.damping * Dot(v, n));
    }
};

}  // namespace

Vec3 EffectForce(const Effect& effect, const Vec3& x, const Vec3& v) {
    return std::visit(EffectVisitor{x, v}, effect);
}

ForceResult ForceModel::Compute(const Vec3& command, double command_age_s, const Effect* effects,
                                std::size_t count, const Vec3& x, const Vec3& v) {
    ForceResult out;

    const bool stale = limits_.watchdog_s > 0.0 && command_age_s > limits_.watchdog_s;
    out.watchdog_tripped = stale && !stale_ && Norm(command) != 0.0;
    stale_ = stale;
    double share = 1.0;
    if (stale) {
        const double over = command_age_s - limits_.watchdog_s;
        share = limits_.watchdog_ramp_s > 0.0
                    ? std::clamp(1.0 - over / limits_.watchdog_ramp_s, 0.0, 1.0)
                    : 0.0;
    }

    if (limits_.max_speed > 0.0) {
        const double speed = Norm(v);
        if (speed > limits_.max_speed) {
            braking_ = true;
        } else if (!(speed >= kBrakeRelease * limits_.max_speed)) {
            braking_ = false;
        }
    }
    out.braking = braking_;

    Vec3 total{};
    if (braking_) {
        total = Scaled(v, -limits_.brake_damping);
    } else {
        // A stale command that has ramped out no longer counts, whatever it holds.
        if (share > 0.0) {
            total = Scaled(command, share);
        }
        for (std::size_t i = 0; i < count; ++i) {
            AddTo(total, EffectForce(effects[i], x, v));
        }
    }

    if (!Finite(total)) {
        out.non_finite = true;
        return out;  // zero force
    }
    const double norm = Norm(total);
    if (norm > limits_.max_force) {
        out.clamped = true;
        total = Scaled(total, limits_.max_force / norm);
    }
    out.force = total;
    return out;
}

std::string EffectProblem(const Effect& effect) {
    if (const Wall* wall = std::get_if<Wall>(&effect);
        wall != nullptr && !(Norm(wall->normal) > 0.0)) {
        return "a wall's normal must have a direction (not all zero)";
    }
    return {};
}

Effect Normalised(const Effect& effect) {
    return effect;
}

}  // namespace Orvane::HardwareAPI::Haptics
