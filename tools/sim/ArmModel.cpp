#include "ArmModel.h"

#include <algorithm>
#include <cmath>

namespace Orvane::Sim {
namespace {

Vec3 Finite(const Vec3& v, const Vec3& fallback) {
    Vec3 out = v;
    for (int i = 0; i < 3; ++i) {
        if (!std::isfinite(out[i])) {
            out[i] = fallback[i];
        }
    }
    return out;
}

// Solves m x = b for a symmetric positive definite m (Cramer's rule).
Vec3 Solve(const Mat3& m, const Vec3& b) {
    auto det = [](const Mat3& a) {
        return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
               a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
               a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    };
    const double d = det(m);
    Vec3 x{};
    for (int c = 0; c < 3; ++c) {
        Mat3 mc = m;
        for (int r = 0; r < 3; ++r) {
            mc[r][c] = b[r];
        }
        x[c] = det(mc) / d;
    }
    return x;
}

// J^T s J + d I: a Cartesian mass or damping seen from the joints, plus the joints' own.
Mat3 JointSpace(const Mat3& j, double s, double d) {
    Mat3 m{};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            for (int axis = 0; axis < 3; ++axis) {
                m[r][c] += j[axis][r] * s * j[axis][c];
            }
        }
        m[r][r] += d;
    }
    return m;
}

}  // namespace

ArmModel::ArmModel() = default;

Vec3 ArmModel::ForwardKinematics(const Vec3& q) {
    const double reach = kUpperArm * std::cos(q[1]) + kForearm * std::cos(q[1] + q[2]);
    const double height = kUpperArm * std::sin(q[1]) + kForearm * std::sin(q[1] + q[2]);
    return {reach * std::cos(q[0]), reach * std::sin(q[0]), height};
}

Mat3 ArmModel::Jacobian(const Vec3& q) {
    const double c0 = std::cos(q[0]);
    const double s0 = std::sin(q[0]);
    const double s1 = std::sin(q[1]);
    const double c1 = std::cos(q[1]);
    const double s12 = std::sin(q[1] + q[2]);
    const double c12 = std::cos(q[1] + q[2]);
    const double reach = kUpperArm * c1 + kForearm * c12;
    // d(reach)/dq1, d(reach)/dq2 and d(height)/dq1, d(height)/dq2.
    const double r1 = -kUpperArm * s1 - kForearm * s12;
    const double r2 = -kForearm * s12;
    const double h1 = kUpperArm * c1 + kForearm * c12;
    const double h2 = kForearm * c12;
    return Mat3{Vec3{-reach * s0, r1 * c0, r2 * c0}, Vec3{reach * c0, r1 * s0, r2 * s0},
                Vec3{0.0, h1, h2}};
}

namespace {

// J^T (J J^T + damping^2 I)^-1 e: the joint step towards a Cartesian change e.
Vec3 DampedStep(const Mat3& j, const Vec3& e) {
    constexpr double kDamping2 = 1e-6;
    Mat3 jjt{};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            for (int k = 0; k < 3; ++k) {
                jjt[r][c] += j[r][k] * j[c][k];
            }
        }
        jjt[r][r] += kDamping2;
    }
    const Vec3 y = Solve(jjt, e);
    Vec3 step{};
    for (int k = 0; k < 3; ++k) {
        for (int r = 0; r < 3; ++r) {
            step[k] += j[r][k] * y[r];
        }
    }
    return step;
}

}  // namespace

Vec3 ArmModel::InverseKinematics(const Vec3& position, const Vec3& guess) {
    // Within the joint limits the elbow never straightens, so J stays well away from
    // singular.
    auto limited = [](Vec3 q) {
        for (int k = 0; k < 3; ++k) {
            q[k] = std::clamp(q[k], kLowerLimit[k], kUpperLimit[k]);
        }
        return q;
    };
    Vec3 q = limited(Finite(guess, kHome));
    for (int i = 0; i < 50; ++i) {
        const Vec3 at = ForwardKinematics(q);
        const Vec3 e{position[0] - at[0], position[1] - at[1], position[2] - at[2]};
        if (std::abs(e[0]) + std::abs(e[1]) + std::abs(e[2]) < 1e-9) {
            break;
        }
        const Vec3 step = DampedStep(Jacobian(q), e);
        // Small steps: near a stretched or folded arm a full one overshoots.
        const double size = std::sqrt(step[0] * step[0] + step[1] * step[1] + step[2] * step[2]);
        const double scale = size > 0.3 ? 0.3 / size : 1.0;
        for (int k = 0; k < 3; ++k) {
            q[k] += scale * step[k];
        }
        q = limited(q);
    }
    return Finite(q, kHome);
}

Vec3 ArmModel::JointVelocities(const Vec3& q, const Vec3& velocity) {
    return Finite(DampedStep(Jacobian(q), velocity), Vec3{});
}

void ArmModel::CommandForce(const Vec3& force) {
    mode_ = Mode::Force;
    command_ = Finite(force, {});
    for (double& f : command_) {
        f = std::clamp(f, -kMaxForce, kMaxForce);
    }
}

void ArmModel::CommandTorques(const Vec3& torques) {
    mode_ = Mode::Torque;
    command_ = Finite(torques, {});
}

void ArmModel::CommandPosition(const Vec3& position) {
    mode_ = Mode::Position;
    command_ = Finite(position, Position());
}

void ArmModel::CommandAngles(const Vec3& angles) {
    mode_ = Mode::Angle;
    command_ = Finite(angles, q_);
}

Vec3 ArmModel::JointTorques() const {
    Vec3 tau{};
    Vec3 force{};
    switch (mode_) {
        case Mode::Torque:
            tau = command_;
            break;
        case Mode::Angle:
            for (int i = 0; i < 3; ++i) {
                tau[i] = kAngleGain * (command_[i] - q_[i]) - kAngleDamping * qd_[i];
            }
            break;
        case Mode::Force:
            force = command_;
            break;
        case Mode::Position: {
            const Vec3 x = Position();
            const Vec3 v = Velocity();
            for (int i = 0; i < 3; ++i) {
                force[i] = kPositionGain * (command_[i] - x[i]) - kPositionDamping * v[i];
            }
            break;
        }
    }
    if (mode_ == Mode::Force || mode_ == Mode::Position) {
        const Mat3 j = Jacobian(q_);
        for (int joint = 0; joint < 3; ++joint) {
            for (int axis = 0; axis < 3; ++axis) {
                tau[joint] += j[axis][joint] * force[axis];  // J transpose times F
            }
        }
    }
    for (double& t : tau) {
        t = std::clamp(t, -kMaxTorque, kMaxTorque);
    }
    return tau;
}

void ArmModel::Advance(double seconds) {
    if (!(seconds > 0.0)) {
        return;
    }
    seconds = std::min(seconds, kMaxAdvance);
    const int steps = static_cast<int>(std::ceil(seconds / kSubStep));
    const double h = seconds / steps;
    for (int s = 0; s < steps; ++s) {
        const Vec3 tau = JointTorques();
        const Mat3 j = Jacobian(q_);
        const Mat3 inertia = JointSpace(j, kMass, kJointInertia);
        const Mat3 damping = JointSpace(j, kDamping, kJointDamping);
        Vec3 net = tau;
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                net[r] -= damping[r][c] * qd_[c];
            }
        }
        const Vec3 qdd = Solve(inertia, net);
        for (int i = 0; i < 3; ++i) {
            // Semi-implicit Euler: velocity first, then the angle with the new velocity.
            qd_[i] += h * qdd[i];
            q_[i] += h * qd_[i];
            if (q_[i] < kLowerLimit[i]) {
                q_[i] = kLowerLimit[i];
                qd_[i] = std::max(qd_[i], 0.0);
            } else if (q_[i] > kUpperLimit[i]) {
                q_[i] = kUpperLimit[i];
                qd_[i] = std::min(qd_[i], 0.0);
            }
        }
    }
}

Vec3 ArmModel::Velocity() const {
    const Mat3 j = Jacobian(q_);
    Vec3 v{};
    for (int axis = 0; axis < 3; ++axis) {
        for (int joint = 0; joint < 3; ++joint) {
            v[axis] += j[axis][joint] * qd_[joint];
        }
    }
    return v;
}

Vec3 ArmModel::Currents() const {
    Vec3 current = JointTorques();
    for (double& c : current) {
        c /= kTorqueConstant;
    }
    return current;
}

}  // namespace Orvane::Sim
