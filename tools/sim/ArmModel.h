// A three-link arm: a base turning about the vertical axis, a shoulder and an elbow that
// pitch. Joint state is the truth; the end-effector position and velocity follow from it
// through the forward kinematics and the Jacobian. The dynamics are those of a damped
// point mass at the end effector (plus a little inertia and friction in each joint), driven
// by the commanded joint torques, by the forces through the Jacobian transpose, or by a
// position or angle servo, and integrated in small fixed sub-steps. So a force moves the
// end effector its own way, as a hand on a light, well-damped arm would feel it.
//
// Units: metres, newtons, radians, newton-metres, amperes, seconds.
#pragma once

#include <array>

namespace Orvane::Sim {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<Vec3, 3>;  // row-major: m[row][column]

class ArmModel {
public:
    // Geometry and limits.
    static constexpr double kUpperArm = 0.15;  // shoulder to elbow
    static constexpr double kForearm = 0.15;   // elbow to end effector
    static constexpr Vec3 kLowerLimit{-1.0, -0.3, -2.6};
    static constexpr Vec3 kUpperLimit{1.0, 1.4, -0.3};  // the elbow never straightens
    static constexpr Vec3 kHome{0.0, 0.6, -1.2};

    // Dynamics.
    static constexpr double kMass = 0.1;             // at the end effector, kg
    static constexpr double kDamping = 10.0;         // at the end effector, N s / m
    static constexpr double kJointInertia = 2e-4;    // in each joint, kg m^2
    static constexpr double kJointDamping = 0.01;    // in each joint, N m s / rad
    static constexpr double kMaxTorque = 1.5;        // per joint, N m
    static constexpr double kTorqueConstant = 0.25;  // N m per A
    static constexpr double kMaxForce = 20.0;        // per component, N

    // Servo gains of the position and angle commands.
    static constexpr double kPositionGain = 300.0;   // N / m
    static constexpr double kPositionDamping = 8.0;  // N s / m
    static constexpr double kAngleGain = 20.0;       // N m / rad
    static constexpr double kAngleDamping = 0.3;     // N m s / rad

    // Integration: each advance covers at most kMaxAdvance of real time, in sub-steps of
    // at most kSubStep.
    static constexpr double kMaxAdvance = 0.02;
    static constexpr double kSubStep = 0.00025;

    ArmModel();

    static Vec3 ForwardKinematics(const Vec3& q);
    static Mat3 Jacobian(const Vec3& q);
    // The joint angles within the limits that put the end effector at `position` (near it
    // when it is out of reach), found from `guess`; and the joint velocities that move it at
    // `velocity` from angles `q`. Both by damped least squares, so a stretched or folded
    // arm gives finite answers.
    static Vec3 InverseKinematics(const Vec3& position, const Vec3& guess);
    static Vec3 JointVelocities(const Vec3& q, const Vec3& velocity);

    // Commands; each replaces the previous one and holds until the next. Values that are
    // not finite count as zero (forces, torques) or as "stay where you are" (targets).
    void CommandForce(const Vec3& force);
    void CommandTorques(const Vec3& torques);
    void CommandPosition(const Vec3& position);
    void CommandAngles(const Vec3& angles);

    // Lets `seconds` of time pass under the current command (clamped to [0, kMaxAdvance]).
    void Advance(double seconds);

    const Vec3& JointAngles() const { return q_; }
    const Vec3& JointVelocities() const { return qd_; }
    Vec3 Position() const { return ForwardKinematics(q_); }
    Vec3 Velocity() const;
    // Motor currents: the joint torques the current command asks for, over the torque
    // constant.
    Vec3 Currents() const;

private:
    enum class Mode { Force, Torque, Position, Angle };

    Vec3 JointTorques() const;  // what the current command asks of the motors now

    Mode mode_ = Mode::Force;
    Vec3 command_{};  // force, torques or target, by mode
    Vec3 q_ = kHome;
    Vec3 qd_{};
};

}  // namespace Orvane::Sim
