#include "haptics/ForceModel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "haptics/Fixtures.h"
#include "haptics/VecMath.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

// Each force is summed as g * 2^exponent: g keeps well inside the range of a double
// whatever the gains and offsets, so a huge spring gives a clamped force, never an overflow
// to infinity (which would send nothing). Powers of two keep ordinary forces exact.
constexpr int kShrinkExponent = 16;

struct Term {
    Vec3 g{};
    int exponent = kShrinkExponent;
};

Vec3 Shrunk(const Vec3& a, int exponent) {
    return {std::ldexp(a[0], -exponent), std::ldexp(a[1], -exponent), std::ldexp(a[2], -exponent)};
}

// The exponent of the smallest power of two at or above max(1, a, b); a non-finite gain
// stays non-finite in the gains it scales.
int GainExponent(double a, double b) {
    const double m = std::max({1.0, a, b});
    int exponent = 0;
    if (std::isfinite(m)) {
        std::frexp(m, &exponent);
    }
    return exponent;
}

Vec3 Minus(const Vec3& a, const Vec3& b) {
    return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}

// -k d - b v
Term Linear(const Vec3& d, double k, const Vec3& v, double b) {
    const int e = GainExponent(k, b);
    const double kk = std::ldexp(k, -e - kShrinkExponent);
    const double bb = std::ldexp(b, -e - kShrinkExponent);
    return {{-kk * d[0] - bb * v[0], -kk * d[1] - bb * v[1], -kk * d[2] - bb * v[2]},
            e + kShrinkExponent};
}

struct TermVisitor {
    const Vec3& x;
    const Vec3& v;
    double eased;  // the share a spring or a wall gives while it eases in

    Term operator()(const ConstantForce& e) const {
        return {Shrunk(e.force, kShrinkExponent), kShrinkExponent};
    }
    Term operator()(const Spring& e) const {
        Term t = Linear(Minus(x, e.center), e.stiffness, v, e.damping);
        t.g = Scaled(t.g, eased);
        return t;
    }
    Term operator()(const Damper& e) const { return Linear({}, 0.0, v, e.damping); }
    Term operator()(const Wall& e) const {
        const double length = Norm(e.normal);
        // A wall without a direction has no inside.
        if (!(length > 0.0)) {
            return {};
        }
        const Vec3 n = Over(e.normal, length);
        const double depth = Dot(Shrunk(Minus(x, e.point), kShrinkExponent), n);
        if (!(depth < 0.0)) {
            return {};
        }
        const int s = GainExponent(e.stiffness, e.damping);
        const double push = -std::ldexp(e.stiffness, -s) * depth -
                            std::ldexp(e.damping, -s) * Dot(Shrunk(v, kShrinkExponent), n);
        return {Scaled(n, push * eased), s + kShrinkExponent};
    }
    // Fixtures reach the force model through the touch term, in scene coordinates.
    Term operator()(const PlaneGuide&) const { return {}; }
    Term operator()(const LineGuide&) const { return {}; }
    Term operator()(const Sphere&) const { return {}; }
    Term operator()(const Box&) const { return {}; }
};

Term EffectTerm(const Effect& effect, const Vec3& x, const Vec3& v, double eased = 1.0) {
    return std::visit(TermVisitor{x, v, eased}, effect);
}

using Vec3f = std::array<float, 3>;

bool Finite(const Vec3f& f) {
    return std::isfinite(f[0]) && std::isfinite(f[1]) && std::isfinite(f[2]);
}

// The length of what goes on the wire, both as a reader computes it exactly in double and
// as one computes it in single precision (scaled by the largest component, so it never
// overflows); the larger of the two.
double WireNorm(const Vec3f& f) {
    const double exact =
        std::sqrt(static_cast<double>(f[0]) * f[0] + static_cast<double>(f[1]) * f[1] +
                  static_cast<double>(f[2]) * f[2]);
    const float m = std::max({std::fabs(f[0]), std::fabs(f[1]), std::fabs(f[2])});
    if (m == 0.0f) {
        return exact;
    }
    const float u0 = f[0] / m, u1 = f[1] / m, u2 = f[2] / m;
    const float single = m * std::sqrt(u0 * u0 + u1 * u1 + u2 * u2);
    return std::max(exact, static_cast<double>(single));
}

}  // namespace

std::string ForceLimitsProblem(const ForceLimits& l) {
    auto at_least_zero = [](double v) { return std::isfinite(v) && v >= 0.0; };
    if (!(std::isfinite(l.max_force) && l.max_force > 0.0 && l.max_force <= kMaxForceLimit)) {
        return "max_force must be a finite number above 0 and at most 1e30";
    }
    // Infinity turns the watchdog or the braking off; 0 is no way to do that.
    if (!(l.watchdog_s > 0.0) || !at_least_zero(l.watchdog_ramp_s)) {
        return "watchdog_s must be above 0 (infinity: off), watchdog_ramp_s 0 or more";
    }
    if (!(l.max_speed > 0.0) || !at_least_zero(l.brake_damping)) {
        return "max_speed must be above 0 (infinity: off), brake_damping 0 or more";
    }
    return {};
}

ForceModel::ForceModel(const ForceLimits& limits) : limits_(limits) {
    if (!(limits_.max_force <= kMaxForceLimit)) {
        limits_.max_force = kMaxForceLimit;  // NaN too
    }
    if (!(limits_.max_force >= 0.0)) {
        limits_.max_force = 0.0;
    }
}

Vec3 EffectForce(const Effect& effect, const Vec3& x, const Vec3& v) {
    if (IsFixture(effect)) {
        return std::visit(
            [&x, &v](const auto& e) -> Vec3 {
                if constexpr (requires { FixtureForce(e, x, v); }) {
                    return FixtureForce(e, x, v);
                } else {
                    return {};
                }
            },
            effect);
    }
    const Term t = EffectTerm(effect, x, v);
    return Shrunk(t.g, -t.exponent);
}

void ForceModel::Sum(const Vec3& command, double command_age_s, const Effect* effects,
                     std::size_t count, const Vec3& x, const Vec3& v, const Vec3& touch,
                     const double* eased) {
    out_ = ForceResult{};
    const double max_force = limits_.max_force;

    const bool stale = command_age_s > limits_.watchdog_s;
    out_.watchdog_holding = stale && Norm(command) != 0.0;
    out_.watchdog_tripped = out_.watchdog_holding && !stale_;
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
    out_.braking = braking_;

    // The terms summed at the largest scale among them.
    top_ = kShrinkExponent;
    sum_ = {};
    auto add = [this](const Term& t) {
        if (t.exponent > top_) {
            sum_ = Shrunk(sum_, t.exponent - top_);
            top_ = t.exponent;
        }
        const Vec3 g = Shrunk(t.g, top_ - t.exponent);
        for (int i = 0; i < 3; ++i) {
            sum_[i] += g[i];
        }
    };
    if (braking_) {
        out_.touch_share = 0.0;
        add(Linear({}, 0.0, v, limits_.brake_damping));
    } else {
        // A stale command that has ramped out no longer counts, whatever it holds. The ramp
        // scales the command as the arm would get it alone: clamped first.
        if (share > 0.0) {
            bool command_clamped = false;
            const Vec3 c = ClampedTo(command, max_force, command_clamped);
            out_.clamped = command_clamped;
            add({Shrunk(Scaled(c, share), kShrinkExponent), kShrinkExponent});
        }
        for (std::size_t i = 0; i < count; ++i) {
            add(EffectTerm(effects[i], x, v, eased != nullptr ? eased[i] : 1.0));
        }
        add({Shrunk(touch, kShrinkExponent), kShrinkExponent});
    }
}

// The sum, sum 2^top, as it may go out. A free function: GCC 12 at -O2 dropped the rounding
// to single precision when these steps read the sum from the model's members
// (ForceModelTest.MaxForceIsBoundedToWhatSinglePrecisionCarries catches that).
static ForceResult LimitedSum(const Vec3& sum, int top, ForceResult out, double max_force,
                              bool braking) {
    if (!Finite(sum)) {
        out.non_finite = true;
        out.clamped = false;
        out.touch_share = 0.0;
        return out;  // zero force
    }
    // The clamp in the scaled sum: |sum| 2^top > max_force without forming sum 2^top.
    Vec3 total;
    const double norm = Norm(sum);
    bool sum_clamped = false;  // the command alone may have been clamped before
    if (norm > std::ldexp(max_force, -top)) {
        out.clamped = true;
        sum_clamped = true;
        total = Scaled(Over(sum, norm), max_force);
    } else {
        total = Shrunk(sum, -top);
    }

    Vec3f wire{static_cast<float>(total[0]), static_cast<float>(total[1]),
               static_cast<float>(total[2])};
    if (!Finite(wire)) {
        out.non_finite = true;
        out.clamped = false;
        out.touch_share = 0.0;
        return out;
    }
    // Rounding to single precision may land a clamped force just above the limit.
    if (const double n = WireNorm(wire); n > max_force) {
        out.clamped = true;
        sum_clamped = true;
        for (float& c : wire) {
            c = static_cast<float>(static_cast<double>(c) * (max_force / n));
        }
        while (WireNorm(wire) > max_force) {
            for (float& c : wire) {
                c = std::nextafter(c, 0.0f);
            }
        }
    }
    out.force = {wire[0], wire[1], wire[2]};
    if (sum_clamped && !braking) {
        // What went out against the sum: |wire| / (norm 2^top), formed without the power.
        out.touch_share = std::min(1.0, std::ldexp(WireNorm(wire) / norm, -top));
    }
    return out;
}

ForceResult ForceModel::Limit() {
    return LimitedSum(sum_, top_, out_, limits_.max_force, braking_);
}

}  // namespace Orvane::HardwareAPI::Haptics
