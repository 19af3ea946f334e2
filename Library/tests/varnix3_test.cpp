// The arm against in-memory streams: what each request puts on the wire and how each
// reply is decoded, refused or discarded.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "Orvane/HardwareAPI/Protocol.h"
#include "Orvane/HardwareAPI/UUID.h"
#include "Orvane/HardwareAPI/Varnix3.h"

using Orvane::HardwareAPI::UUID;
using Orvane::HardwareAPI::Devices::Varnix3;
namespace Protocol = Orvane::HardwareAPI::Protocol;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Written(const std::stringstream& s) {
    const std::string text = s.str();
    return Bytes(text.begin(), text.end());
}

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// A reply frame: header, then the given floats as little-endian float32.
Bytes FloatReply(std::uint8_t header, std::initializer_list<float> values) {
    Bytes out{header};
    for (float v : values) {
        std::uint8_t field[4];
        Protocol::PutF32(field, v);
        out.insert(out.end(), field, field + 4);
    }
    return out;
}

Bytes InfoReply(std::uint16_t id, std::uint8_t model, std::uint8_t hw, std::uint8_t fw) {
    Bytes out{Protocol::Arm::kDeviceInfo,
              static_cast<std::uint8_t>(id),
              static_cast<std::uint8_t>(id >> 8),
              model,
              hw,
              fw};
    for (std::uint8_t i = 0; i < 16; ++i) {
        out.push_back(i);
    }
    return out;
}

// How far the device has read into the stream.
std::streamoff Consumed(std::stringstream& s) {
    s.clear();
    return s.tellg();
}

struct RequestCase {
    const char* name;
    std::function<void(Varnix3&)> send;
    Bytes expected;
};

class Varnix3Request : public ::testing::TestWithParam<RequestCase> {};

TEST_P(Varnix3Request, WritesExactlyOneFrame) {
    std::stringstream s;
    Varnix3 arm(s);
    GetParam().send(arm);
    EXPECT_EQ(Written(s), GetParam().expected);
    EXPECT_TRUE(s.good());
}

const float kVector[3] = {1.5F, -2.0F, 0.25F};
const Bytes kVectorBytes{0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x80, 0x3E};

Bytes WithHeader(std::uint8_t header, const Bytes& payload) {
    Bytes out{header};
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    AllRequests, Varnix3Request,
    ::testing::Values(RequestCase{"Wakeup", [](Varnix3& a) { a.SendDeviceWakeup(); }, Bytes{0x0A}},
                      RequestCase{"Current", [](Varnix3& a) { a.RequestCurrent(); }, Bytes{0xAB}},
                      RequestCase{"Force", [](Varnix3& a) { a.SendForce(kVector); },
                                  WithHeader(0x2A, kVectorBytes)},
                      RequestCase{"Position", [](Varnix3& a) { a.SendPosition(kVector); },
                                  WithHeader(0x2C, kVectorBytes)},
                      RequestCase{"JointTorques", [](Varnix3& a) { a.SendJointTorques(kVector); },
                                  WithHeader(0x1A, kVectorBytes)},
                      RequestCase{"Angle", [](Varnix3& a) { a.SendAngle(kVector); },
                                  WithHeader(0x1C, kVectorBytes)}),
    [](const auto& info) { return std::string(info.param.name); });

// The two state replies differ only in their header; each Receive accepts only its own.
struct StateCase {
    const char* name;
    std::uint8_t header;
    std::uint8_t other_header;
    std::int32_t (Varnix3::*receive)(float*, float*);
};

class Varnix3State : public ::testing::TestWithParam<StateCase> {};

TEST_P(Varnix3State, DecodesPositionThenVelocity) {
    std::stringstream s(Text(FloatReply(GetParam().header, {1, 2, 3, -4, 5.5F, 0.125F})));
    Varnix3 arm(s);
    float p[3] = {}, v[3] = {};
    EXPECT_EQ((arm.*GetParam().receive)(p, v), 24);
    EXPECT_EQ(std::vector<float>(p, p + 3), (std::vector<float>{1, 2, 3}));
    EXPECT_EQ(std::vector<float>(v, v + 3), (std::vector<float>{-4, 5.5F, 0.125F}));
    EXPECT_EQ(Consumed(s), 25);
}

TEST_P(Varnix3State, WrongHeaderDiscardsAndLeavesOutputs) {
    // The other state reply, then more than a discard read takes.
    Bytes wire = FloatReply(GetParam().other_header, {1, 2, 3, 4, 5, 6});
    wire.resize(1 + 2000, 0x55);
    std::stringstream s(Text(wire));
    Varnix3 arm(s);
    float p[3] = {7, 7, 7}, v[3] = {8, 8, 8};
    EXPECT_EQ((arm.*GetParam().receive)(p, v), -1);
    EXPECT_EQ(std::vector<float>(p, p + 3), (std::vector<float>{7, 7, 7}));
    EXPECT_EQ(std::vector<float>(v, v + 3), (std::vector<float>{8, 8, 8}));
    EXPECT_EQ(Consumed(s), 1 + static_cast<std::streamoff>(Protocol::kBufferSize));
}

TEST_P(Varnix3State, ShortPayloadLeavesOutputsAndStopsTheStream) {
    Bytes wire = FloatReply(GetParam().header, {1, 2, 3, 4, 5, 6});
    wire.resize(1 + 10);
    std::stringstream s(Text(wire));
    Varnix3 arm(s);
    float p[3] = {7, 7, 7}, v[3] = {8, 8, 8};
    EXPECT_EQ((arm.*GetParam().receive)(p, v), -1);
    EXPECT_EQ(p[0], 7);
    EXPECT_EQ(v[2], 8);
    EXPECT_TRUE(s.eof());
    // The stream's failure is sticky: the next request is not written.
    const auto before = s.str().size();
    arm.SendForce(kVector);
    EXPECT_EQ(s.str().size(), before);
}

TEST_P(Varnix3State, SilentLineLeavesOutputs) {
    std::stringstream s;
    Varnix3 arm(s);
    float p[3] = {7, 7, 7}, v[3] = {8, 8, 8};
    EXPECT_EQ((arm.*GetParam().receive)(p, v), -1);
    EXPECT_EQ(p[1], 7);
    EXPECT_EQ(v[1], 8);
}

INSTANTIATE_TEST_SUITE_P(
    BothStates, Varnix3State,
    ::testing::Values(StateCase{"EndEffector", 0x2B, 0x1B, &Varnix3::ReceiveState},
                      StateCase{"Joint", 0x1B, 0x2B, &Varnix3::ReceiveJointState}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Varnix3, CurrentReplySharesTheRequestCode) {
    std::stringstream s(Text(FloatReply(0xAB, {0.5F, -1.0F, 2.25F})));
    Varnix3 arm(s);
    float c[3] = {};
    EXPECT_EQ(arm.ReceiveCurrent(c), 12);
    EXPECT_EQ(std::vector<float>(c, c + 3), (std::vector<float>{0.5F, -1.0F, 2.25F}));
}

TEST(Varnix3, CurrentWrongHeaderLeavesOutputs) {
    std::stringstream s(Text(FloatReply(0x2B, {0.5F, -1.0F, 2.25F})));
    Varnix3 arm(s);
    float c[3] = {9, 9, 9};
    EXPECT_EQ(arm.ReceiveCurrent(c), -1);
    EXPECT_EQ(std::vector<float>(c, c + 3), (std::vector<float>{9, 9, 9}));
}

TEST(Varnix3, DeviceInfoDecodesEveryField) {
    std::stringstream s(Text(InfoReply(0xBEEF, 4, 7, 9)));
    Varnix3 arm(s);
    std::uint16_t id = 0;
    std::uint8_t model = 0, hw = 0, fw = 0;
    UUID uuid;
    EXPECT_EQ(arm.ReceiveDeviceInfo(id, model, hw, fw, uuid), 21);
    EXPECT_EQ(id, 0xBEEF);
    EXPECT_EQ(model, Protocol::Arm::kArmModelNumber);
    EXPECT_EQ(hw, 7);
    EXPECT_EQ(fw, 9);
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(uuid[i], i);
    }
}

TEST(Varnix3, DeviceInfoFailureLeavesOutputs) {
    Bytes wire = InfoReply(1, 2, 3, 4);
    wire.resize(15);  // short payload
    std::stringstream s(Text(wire));
    Varnix3 arm(s);
    std::uint16_t id = 11;
    std::uint8_t model = 12, hw = 13, fw = 14;
    UUID uuid;
    uuid.bytes.fill(0xEE);
    EXPECT_EQ(arm.ReceiveDeviceInfo(id, model, hw, fw, uuid), -1);
    EXPECT_EQ(id, 11);
    EXPECT_EQ(model, 12);
    EXPECT_EQ(hw, 13);
    EXPECT_EQ(fw, 14);
    EXPECT_EQ(uuid[0], 0xEE);
    EXPECT_EQ(uuid[15], 0xEE);
}

}  // namespace
