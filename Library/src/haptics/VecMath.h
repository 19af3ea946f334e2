// Small vector helpers for the force computations; all inline, none allocates.
#pragma once

#include <algorithm>
#include <cmath>

#include "Orvane/HardwareAPI/Effects.h"

namespace Orvane::HardwareAPI::Haptics::VecMath {

inline double Dot(const Vec3& a, const Vec3& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

inline double Norm(const Vec3& a) {
    return std::sqrt(Dot(a, a));
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
    const double largest = std::max({std::fabs(a[0]), std::fabs(a[1]), std::fabs(a[2])});
    if (!(largest > 0.0) || !std::isfinite(largest)) {
        return {};
    }
    // Divided, not multiplied by 1 / largest: that reciprocal overflows for subnormals.
    const Vec3 b{a[0] / largest, a[1] / largest, a[2] / largest};
    return Scaled(b, 1.0 / Norm(b));
}

// The vector shortened to at most `limit` long; limit 0 leaves it as it is.
inline Vec3 Limited(const Vec3& a, double limit) {
    const double n = Norm(a);
    return limit > 0.0 && n > limit ? Scaled(a, limit / n) : a;
}

}  // namespace Orvane::HardwareAPI::Haptics::VecMath
