// Small vector arithmetic for the force model and the effect checks, with a length that
// never overflows: the components are divided by the largest one first.
#pragma once

#include <algorithm>
#include <cmath>

#include "Orvane/HardwareAPI/Effects.h"

namespace Orvane::HardwareAPI::Haptics {

inline double Dot(const Vec3& a, const Vec3& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

inline Vec3 Scaled(const Vec3& a, double s) {
    return {a[0] * s, a[1] * s, a[2] * s};
}

// Divided rather than multiplied by a reciprocal, which overflows for a tiny divisor.
inline Vec3 Over(const Vec3& a, double d) {
    return {a[0] / d, a[1] / d, a[2] / d};
}

inline bool Finite(const Vec3& a) {
    return std::isfinite(a[0]) && std::isfinite(a[1]) && std::isfinite(a[2]);
}

inline double LargestMagnitude(const Vec3& a) {
    return std::max({std::fabs(a[0]), std::fabs(a[1]), std::fabs(a[2])});
}

// |a| for any finite a, also where a·a would overflow or underflow; NaN or inf otherwise.
inline double Norm(const Vec3& a) {
    const double m = LargestMagnitude(a);
    if (!(m > 0.0) || !std::isfinite(m)) {
        return m == 0.0 ? 0.0 : m + a[0] + a[1] + a[2];  // NaN stays NaN, inf stays inf
    }
    const Vec3 u = Over(a, m);
    return m * std::sqrt(Dot(u, u));
}

// a scaled to length `limit` in its own direction when longer; a itself otherwise.
inline Vec3 ClampedTo(const Vec3& a, double limit, bool& clamped) {
    const double m = LargestMagnitude(a);
    if (!(m > 0.0) || !std::isfinite(m)) {
        return a;
    }
    const Vec3 u = Over(a, m);
    const double unit_norm = std::sqrt(Dot(u, u));  // |a| / m, between 1 and sqrt(3)
    if (m <= limit / unit_norm) {
        return a;
    }
    clamped = true;
    return Scaled(u, limit / unit_norm);
}

}  // namespace Orvane::HardwareAPI::Haptics
