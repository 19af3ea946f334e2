// Small vector helpers for the force computations; all inline, none allocates.
#pragma once

#include <algorithm>
#include <cmath>

#include "Orvane/HardwareAPI/Effects.h"

namespace Orvane::HardwareAPI::Haptics::Vectors {

inline double Dot(const Vec3& a, const Vec3& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

inline double Largest(const Vec3& a) {
    return std::max({std::fabs(a[0]), std::fabs(a[1]), std::fabs(a[2])});
}

// |a|, also where a·a would overflow or underflow: the components are divided by the
// largest first (divided: the reciprocal of a subnormal overflows). NaN and inf pass on.
inline double Norm(const Vec3& a) {
    const double m = Largest(a);
    if (!(m > 0.0) || !std::isfinite(m)) {
        return m == 0.0 ? 0.0 : m + a[0] + a[1] + a[2];
    }
    const Vec3 u{a[0] / m, a[1] / m, a[2] / m};
    return m * std::sqrt(Dot(u, u));
}

inline Vec3 Scaled(const Vec3& a, double s) {
    return {a[0] * s, a[1] * s, a[2] * s};
}

inline Vec3 Sum(const Vec3& a, const Vec3& b) {
    return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}

inline Vec3 Difference(const Vec3& a, const Vec3& b) {
    return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}

inline bool Finite(const Vec3& a) {
    return std::isfinite(a[0]) && std::isfinite(a[1]) && std::isfinite(a[2]);
}

inline bool Finite(double a) {
    return std::isfinite(a);
}

// The direction of a finite vector as a unit vector, or all zeros when it has none.
// Scaling by the largest component first keeps huge and tiny vectors from overflowing or
// vanishing when squared.
inline Vec3 UnitOrZero(const Vec3& a) {
    const double largest = Largest(a);
    if (!(largest > 0.0) || !std::isfinite(largest)) {
        return {};
    }
    const Vec3 b{a[0] / largest, a[1] / largest, a[2] / largest};
    return Scaled(b, 1.0 / std::sqrt(Dot(b, b)));
}

// The vector shortened to at most `limit` long; limit 0 leaves it as it is.
inline Vec3 Limited(const Vec3& a, double limit) {
    const double n = Norm(a);
    if (!(limit > 0.0) || !(n > limit)) {
        return a;
    }
    if (!std::isfinite(n)) {
        return a;  // not finite: left for the loop's check, which sends no force then
    }
    const double m = Largest(a);
    const Vec3 u{a[0] / m, a[1] / m, a[2] / m};
    return Scaled(u, limit / std::sqrt(Dot(u, u)));
}

}  // namespace Orvane::HardwareAPI::Haptics::Vectors
