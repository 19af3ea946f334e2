#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "ArmDevice.h"
#include "ArmModel.h"
#include "Orvane/HardwareAPI/Protocol.h"

using namespace Orvane::Sim;
namespace P = Orvane::HardwareAPI::Protocol;
using std::chrono::milliseconds;

namespace {

Message VectorRequest(std::uint8_t header, float x, float y, float z) {
    Message m(13);
    m[0] = header;
    const float v[3] = {x, y, z};
    P::PutF32x3(m.data() + 1, v);
    return m;
}

Vec3 Floats(const Message& reply, std::size_t offset) {
    float v[3];
    P::GetF32x3(reply.data() + offset, v);
    return {v[0], v[1], v[2]};
}

// Sends one request at `now` and returns the single reply.
Message Exchange(ArmDevice& arm, const Message& request, Clock::time_point now) {
    std::vector<Message> replies;
    arm.Receive(request.data(), request.size(), now, replies);
    EXPECT_EQ(replies.size(), 1u);
    return replies.empty() ? Message{} : replies[0];
}

}  // namespace

class ArmKinematics : public ::testing::TestWithParam<Vec3> {};

// The Jacobian is the derivative of the forward kinematics.
TEST_P(ArmKinematics, JacobianMatchesForwardKinematics) {
    const Vec3 q = GetParam();
    const Mat3 j = ArmModel::Jacobian(q);
    const double h = 1e-6;
    for (int joint = 0; joint < 3; ++joint) {
        Vec3 plus = q;
        Vec3 minus = q;
        plus[joint] += h;
        minus[joint] -= h;
        const Vec3 a = ArmModel::ForwardKinematics(plus);
        const Vec3 b = ArmModel::ForwardKinematics(minus);
        for (int axis = 0; axis < 3; ++axis) {
            EXPECT_NEAR(j[axis][joint], (a[axis] - b[axis]) / (2 * h), 1e-6);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Poses, ArmKinematics,
                         ::testing::Values(ArmModel::kHome, Vec3{0.5, 0.2, -0.8},
                                           Vec3{-0.9, 1.2, -2.4}, Vec3{0.1, -0.3, -0.3}));

TEST(ArmDevice, WakeupAnswersDeviceInformation) {
    ArmIdentity id;
    id.device_id = 0x1234;
    id.hardware_version = 7;
    id.firmware_version = 9;
    for (std::uint8_t i = 0; i < 16; ++i) {
        id.uuid[i] = i;
    }
    ArmDevice arm(id);
    const Message reply = Exchange(arm, {0x0A}, Clock::now());
    const Message expected = {0x0B, 0x34, 0x12, 0x04, 0x07, 0x09, 0,  1,  2,  3,  4,
                              5,    6,    7,    8,    9,    10,   11, 12, 13, 14, 15};
    EXPECT_EQ(reply, expected);
}

struct RequestCase {
    Message request;
    std::uint8_t reply_header;
    std::size_t reply_size;
};

class ArmRequests : public ::testing::TestWithParam<RequestCase> {};

TEST_P(ArmRequests, EveryRequestGetsItsReply) {
    ArmDevice arm({});
    const Message reply = Exchange(arm, GetParam().request, Clock::now());
    ASSERT_EQ(reply.size(), GetParam().reply_size);
    EXPECT_EQ(reply[0], GetParam().reply_header);
}

INSTANTIATE_TEST_SUITE_P(AllRequests, ArmRequests,
                         ::testing::Values(RequestCase{{0x0A}, 0x0B, 22},
                                           RequestCase{VectorRequest(0x1A, 0, 0, 0), 0x1B, 25},
                                           RequestCase{VectorRequest(0x1C, 0, 0.6f, -1.2f), 0x1B,
                                                       25},
                                           RequestCase{VectorRequest(0x2A, 1, 2, 3), 0x2B, 25},
                                           RequestCase{VectorRequest(0x2C, 0.2f, 0, 0), 0x2B, 25},
                                           RequestCase{{0xAB}, 0xAB, 13}));

TEST(ArmDevice, RequestsInPiecesAndBackToBackAreEachAnsweredOnce) {
    ArmDevice arm({});
    const auto now = Clock::now();
    Message stream = VectorRequest(0x2A, 1, 0, 0);
    stream.push_back(0x77);  // starts no request: ignored
    stream.push_back(0xAB);
    std::vector<Message> replies;
    arm.Receive(stream.data(), 5, now, replies);
    EXPECT_TRUE(replies.empty());
    arm.Receive(stream.data() + 5, stream.size() - 5, now, replies);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0][0], 0x2B);
    EXPECT_EQ(replies[1][0], 0xAB);
}

TEST(ArmDevice, StaleHalfRequestIsDropped) {
    ArmDevice arm({});
    const auto t0 = Clock::now();
    const Message force = VectorRequest(0x2A, 0, 0, 0);
    std::vector<Message> replies;
    arm.Receive(force.data(), 4, t0, replies);  // the rest never comes
    arm.Receive(force.data(), force.size(), t0 + milliseconds(600), replies);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0][0], 0x2B);
}

TEST(ArmDevice, StateRepliesAgreeWithTheKinematics) {
    ArmDevice arm({});
    auto t = Clock::now();
    Exchange(arm, VectorRequest(0x2A, 2, -1, 1), t);
    for (int i = 0; i < 50; ++i) {
        t += milliseconds(2);
        Exchange(arm, VectorRequest(0x2A, 2, -1, 1), t);
    }
    const Message joints = Exchange(arm, VectorRequest(0x1A, 0, 0, 0), t);
    const Message state = Exchange(arm, VectorRequest(0x2A, 0, 0, 0), t);
    const Vec3 q = Floats(joints, 1);
    const Vec3 from_angles = ArmModel::ForwardKinematics(q);
    const Vec3 position = Floats(state, 1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(position[i], from_angles[i], 1e-5);
    }
}

TEST(ArmModel, ForceMovesTheEndEffectorItsWay) {
    ArmModel arm;
    const Vec3 start = arm.Position();
    arm.CommandForce({0, 0, 1});
    for (int i = 0; i < 10; ++i) {
        arm.Advance(0.01);
    }
    EXPECT_GT(arm.Position()[2] - start[2], 0.005);
    EXPECT_NEAR(arm.Position()[0], start[0], 0.01);
    EXPECT_GT(arm.Velocity()[2], 0.0);
}

TEST(ArmModel, PositionAndAngleTargetsAreReached) {
    ArmModel arm;
    const Vec3 target = ArmModel::ForwardKinematics({0.3, 0.8, -1.5});
    arm.CommandPosition(target);
    for (int i = 0; i < 300; ++i) {
        arm.Advance(0.01);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(arm.Position()[i], target[i], 0.002);
    }
    arm.CommandAngles({-0.4, 0.2, -0.9});
    for (int i = 0; i < 300; ++i) {
        arm.Advance(0.01);
    }
    EXPECT_NEAR(arm.JointAngles()[0], -0.4, 0.01);
    EXPECT_NEAR(arm.JointAngles()[1], 0.2, 0.01);
    EXPECT_NEAR(arm.JointAngles()[2], -0.9, 0.01);
}

TEST(ArmModel, JointLimitsHoldAgainstFullTorque) {
    ArmModel arm;
    arm.CommandTorques({100, 100, 100});
    for (int i = 0; i < 200; ++i) {
        arm.Advance(0.02);
        for (int j = 0; j < 3; ++j) {
            ASSERT_LE(arm.JointAngles()[j], ArmModel::kUpperLimit[j]);
            ASSERT_GE(arm.JointAngles()[j], ArmModel::kLowerLimit[j]);
        }
    }
    EXPECT_DOUBLE_EQ(arm.JointAngles()[0], ArmModel::kUpperLimit[0]);
}

TEST(ArmModel, CurrentsFollowTheTorques) {
    ArmModel arm;
    arm.CommandTorques({0.5, -0.25, 0});
    const Vec3 c = arm.Currents();
    EXPECT_DOUBLE_EQ(c[0], 0.5 / ArmModel::kTorqueConstant);
    EXPECT_DOUBLE_EQ(c[1], -0.25 / ArmModel::kTorqueConstant);
    EXPECT_DOUBLE_EQ(c[2], 0.0);
}

TEST(ArmModel, NonFiniteCommandsLeaveTheArmAtRest) {
    ArmModel arm;
    const Vec3 start = arm.Position();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    arm.CommandForce({nan, inf, -inf});
    arm.Advance(0.02);
    arm.CommandPosition({nan, nan, nan});
    arm.Advance(0.02);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(std::isfinite(arm.Position()[i]));
        EXPECT_NEAR(arm.Position()[i], start[i], 1e-9);
    }
}

TEST(ArmModel, LongPausesAdvanceByTheBoundOnly) {
    ArmModel a;
    ArmModel b;
    a.CommandForce({1, 0, 0});
    b.CommandForce({1, 0, 0});
    a.Advance(5.0);
    b.Advance(ArmModel::kMaxAdvance);
    EXPECT_EQ(a.Position(), b.Position());
}
