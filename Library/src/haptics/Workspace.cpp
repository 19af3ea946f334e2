#include "haptics/Workspace.h"

#include <cmath>

#include "haptics/Vectors.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

using namespace Vectors;

// How far RRᵀ may be from the identity, element by element, for R to count as a rotation:
// loose enough for a matrix typed with six digits.
constexpr double kRotationTolerance = 1e-5;

}  // namespace

namespace {

std::string Problem(const WorkspaceMap& map) {
    if (!(std::isfinite(map.scale) && map.scale > 0.0)) {
        return "workspace: scale must be a finite number above 0";
    }
    if (!Finite(map.offset)) {
        return "workspace: the offset must be finite";
    }
    const Matrix3& r = map.rotation;
    for (double e : r) {
        if (!std::isfinite(e)) {
            return "workspace: the rotation must be finite";
        }
    }
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            const double dot =
                r[3 * i] * r[3 * j] + r[3 * i + 1] * r[3 * j + 1] + r[3 * i + 2] * r[3 * j + 2];
            if (!(std::fabs(dot - (i == j ? 1.0 : 0.0)) <= kRotationTolerance)) {
                return "workspace: the rotation must be orthonormal (R Rᵀ = I)";
            }
        }
    }
    const double det = r[0] * (r[4] * r[8] - r[5] * r[7]) - r[1] * (r[3] * r[8] - r[5] * r[6]) +
                       r[2] * (r[3] * r[7] - r[4] * r[6]);
    if (!(det > 0.0)) {
        return "workspace: the rotation must not mirror (determinant +1)";
    }
    return {};
}

}  // namespace

Error CheckWorkspace(const WorkspaceMap& map) {
    std::string problem = Problem(map);
    if (problem.empty()) {
        return {};
    }
    return {ErrorKind::BadArgument, std::move(problem)};
}

Error RotationFromQuaternion(const std::array<double, 4>& q, Matrix3& r) {
    const double largest = std::fmax(std::fmax(std::fabs(q[0]), std::fabs(q[1])),
                                     std::fmax(std::fabs(q[2]), std::fabs(q[3])));
    if (!(largest > 0.0) || !std::isfinite(largest) || !std::isfinite(q[0] + q[1] + q[2] + q[3])) {
        return {ErrorKind::BadArgument, "workspace: the quaternion must be finite and not zero"};
    }
    double w = q[0] / largest, x = q[1] / largest, y = q[2] / largest, z = q[3] / largest;
    const double n = std::sqrt(w * w + x * x + y * y + z * z);
    w /= n, x /= n, y /= n, z /= n;
    r = {1 - 2 * (y * y + z * z), 2 * (x * y - w * z),     2 * (x * z + w * y),
         2 * (x * y + w * z),     1 - 2 * (x * x + z * z), 2 * (y * z - w * x),
         2 * (x * z - w * y),     2 * (y * z + w * x),     1 - 2 * (x * x + y * y)};
    return {};
}

Vec3 Workspace::Rotated(const Vec3& a) const {
    const Matrix3& r = map_.rotation;
    return {r[0] * a[0] + r[1] * a[1] + r[2] * a[2], r[3] * a[0] + r[4] * a[1] + r[5] * a[2],
            r[6] * a[0] + r[7] * a[1] + r[8] * a[2]};
}

Vec3 Workspace::ToScene(const Vec3& device_x) const {
    return clutched_ ? held_ : Sum(Scaled(Rotated(device_x), map_.scale), map_.offset);
}

Vec3 Workspace::VelocityToScene(const Vec3& device_v) const {
    return clutched_ ? Vec3{} : Scaled(Rotated(device_v), map_.scale);
}

Vec3 Workspace::ForceToDevice(const Vec3& f) const {
    if (clutched_) {
        return {};
    }
    const Matrix3& r = map_.rotation;
    const Vec3 back{r[0] * f[0] + r[3] * f[1] + r[6] * f[2],
                    r[1] * f[0] + r[4] * f[1] + r[7] * f[2],
                    r[2] * f[0] + r[5] * f[1] + r[8] * f[2]};
    return Scaled(back, map_.scale);
}

bool Workspace::Clutch(bool engaged, const Vec3& device_x) {
    if (engaged == clutched_) {
        return false;
    }
    if (engaged) {
        held_ = ToScene(device_x);
    } else {
        map_.offset = Difference(held_, Scaled(Rotated(device_x), map_.scale));
    }
    clutched_ = engaged;
    return true;
}

}  // namespace Orvane::HardwareAPI::Haptics
