// The wire codecs on their own: what one end encodes the other decodes bit for bit, at the
// edges of every field, and a buffer or message one byte short is refused untouched.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "codec/ArmCodec.h"
#include "codec/HandleCodec.h"

namespace Codec = Orvane::HardwareAPI::Codec;
namespace Arm = Orvane::HardwareAPI::Codec::Arm;
namespace Wire = Orvane::HardwareAPI::Codec::Handle;
using Orvane::HardwareAPI::DeviceInfo;
using Orvane::HardwareAPI::Devices::HandleStatusMessage;

namespace {

// Values the host may send or the arm report: signs, zeros, the extremes, non-finite ones and
// a NaN with payload bits that a conversion through double would lose.
const float kEdges[3][3] = {
    {-0.0f, std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::max()},
    {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
     std::bit_cast<float>(0x7FA00001u)},
    {1.5f, -2.0f, 0.25f}};

bool SameBits(const float* a, const float* b) {
    return std::memcmp(a, b, 3 * sizeof(float)) == 0;
}

TEST(ArmCodec, EveryVectorRequestRoundTripsOnTheArmsSide) {
    using Encoder = std::size_t (*)(Codec::Bytes, const float*);
    for (const Encoder encode : {&Arm::EncodeForce, &Arm::EncodePosition, &Arm::EncodeJointTorques,
                                 &Arm::EncodeJointAngles}) {
        for (const auto& values : kEdges) {
            std::uint8_t out[13];
            ASSERT_EQ(encode(Codec::Bytes(out), values), 13u);
            ASSERT_EQ(Arm::RequestSize(out), 13u);
            float back[3] = {};
            ASSERT_TRUE(Arm::DecodeVectorRequest(out, back));
            EXPECT_TRUE(SameBits(back, values));
            EXPECT_FALSE(Arm::DecodeVectorRequest(Codec::ConstBytes(out, 12), back));
        }
    }
    std::uint8_t bare[1];
    ASSERT_EQ(Arm::EncodeCurrentRequest(bare), 1u);
    float untouched[3] = {7, 7, 7};
    EXPECT_EQ(Arm::RequestSize(bare), 1u);
    EXPECT_FALSE(Arm::DecodeVectorRequest(bare, untouched));
    EXPECT_EQ(untouched[0], 7);
    const std::uint8_t garbage[1] = {0x2B};  // a reply's header starts no request
    EXPECT_EQ(Arm::RequestSize(garbage), Codec::kNoMessage);
}

TEST(ArmCodec, RepliesRoundTripAndAShortPayloadLeavesTheOutputs) {
    DeviceInfo info;
    info.device_id = 0xFFFF;
    info.model_number = 4;
    info.hardware_version = 0;
    info.firmware_version = 255;
    for (std::uint8_t i = 0; i < 16; ++i) {
        info.uuid.bytes[i] = static_cast<std::uint8_t>(0xF0 + i);
    }
    std::uint8_t out[25];
    ASSERT_EQ(Arm::EncodeDeviceInfo(out, info), 22u);
    DeviceInfo back;
    ASSERT_TRUE(Arm::DecodeDeviceInfo(Codec::ConstBytes(out).subspan(1, 21), back));
    EXPECT_EQ(back.device_id, 0xFFFF);
    EXPECT_EQ(back.firmware_version, 255);
    EXPECT_EQ(back.uuid.bytes, info.uuid.bytes);
    DeviceInfo untouched;
    EXPECT_FALSE(Arm::DecodeDeviceInfo(Codec::ConstBytes(out).subspan(1, 20), untouched));
    EXPECT_EQ(untouched.device_id, 0);

    float a[3], b[3];
    ASSERT_EQ(Arm::EncodeState(out, kEdges[0], kEdges[1]), 25u);
    EXPECT_EQ(out[0], 0x2B);
    ASSERT_TRUE(Arm::DecodeState(Codec::ConstBytes(out).subspan(1), a, b));
    EXPECT_TRUE(SameBits(a, kEdges[0]) && SameBits(b, kEdges[1]));
    ASSERT_EQ(Arm::EncodeJointState(out, kEdges[1], kEdges[2]), 25u);
    EXPECT_EQ(out[0], 0x1B);
    ASSERT_TRUE(Arm::DecodeJointState(Codec::ConstBytes(out).subspan(1), a, b));
    EXPECT_TRUE(SameBits(a, kEdges[1]) && SameBits(b, kEdges[2]));
    EXPECT_FALSE(Arm::DecodeState(Codec::ConstBytes(out).subspan(2), a, b));
    EXPECT_TRUE(SameBits(a, kEdges[1]));  // the refused decode wrote nothing
    ASSERT_EQ(Arm::EncodeCurrent(out, kEdges[2]), 13u);
    ASSERT_TRUE(Arm::DecodeCurrent(Codec::ConstBytes(out).subspan(1, 12), a));
    EXPECT_TRUE(SameBits(a, kEdges[2]));
    EXPECT_FALSE(Arm::DecodeCurrent(Codec::ConstBytes(out).subspan(1, 11), b));
}

TEST(ArmCodec, AnEncoderThatDoesNotFitWritesNothing) {
    std::array<std::uint8_t, 25> out;
    out.fill(0xEE);
    const float v[3] = {1, 2, 3};
    EXPECT_EQ(Arm::EncodeWakeup(Codec::Bytes(out).first(0)), 0u);
    EXPECT_EQ(Arm::EncodeForce(Codec::Bytes(out).first(12), v), 0u);
    EXPECT_EQ(Arm::EncodeState(Codec::Bytes(out).first(24), v, v), 0u);
    EXPECT_EQ(Arm::EncodeCurrent(Codec::Bytes(out).first(12), v), 0u);
    EXPECT_EQ(Arm::EncodeDeviceInfo(Codec::Bytes(out).first(21), DeviceInfo{}), 0u);
    for (const std::uint8_t byte : out) {
        ASSERT_EQ(byte, 0xEE);
    }
}

TEST(HandleCodec, StateMessagesFrameAndRoundTripAtEveryLength) {
    std::vector<std::uint8_t> data(256);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(255 - i);
    }
    std::vector<std::uint8_t> out(4 + 256, 0xEE);
    for (const std::size_t length : {0u, 1u, 255u}) {
        const Codec::ConstBytes sent(data.data(), length);
        ASSERT_EQ(Wire::EncodeState(out, 0xBEEF, sent), 4 + length);
        for (std::size_t have = 1; have < 4; ++have) {  // not known before the length byte
            EXPECT_EQ(Wire::RequestSize(Codec::ConstBytes(out).first(have)), 0u);
        }
        EXPECT_EQ(Wire::RequestSize(out), 4 + length);
        std::uint16_t id = 0;
        Codec::ConstBytes got;
        ASSERT_TRUE(Wire::DecodeState(Codec::ConstBytes(out).first(4 + length), id, got));
        EXPECT_EQ(id, 0xBEEF);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), sent.begin(), sent.end()));
        EXPECT_FALSE(Wire::DecodeState(Codec::ConstBytes(out).first(3 + length), id, got));
    }
    // One length byte cannot announce 256 bytes: nothing is encoded rather than a wrong length.
    EXPECT_EQ(Wire::EncodeState(out, 1, data), 0u);
    const std::uint8_t unknown[1] = {0xD0};  // the handle's own information header
    EXPECT_EQ(Wire::RequestSize(unknown), Codec::kNoMessage);
}

TEST(HandleCodec, HandleMessagesFrameAndRoundTrip) {
    HandleStatusMessage status;
    status.device_id = 0x8001;
    std::memcpy(status.quaternion, kEdges[1], sizeof kEdges[1]);
    status.quaternion[3] = -0.0f;
    status.error_flag = 255;
    status.hall_effect_sensor_level = 1;
    status.user_data_length = 255;
    status.user_data.fill(0x5A);  // bytes 255 and 256 are not the message's
    std::vector<std::uint8_t> out(22 + 255);
    ASSERT_EQ(Wire::EncodeStatus(out, status), 22u + 255);
    EXPECT_EQ(Wire::MessageSize(Codec::ConstBytes(out).first(21)), 0u);
    EXPECT_EQ(Wire::MessageSize(Codec::ConstBytes(out).first(22)), 22u + 255);
    HandleStatusMessage back;
    back.user_data.fill(0x77);
    ASSERT_TRUE(Wire::DecodeStatus(Codec::ConstBytes(out).subspan(1), back));
    EXPECT_EQ(back.device_id, 0x8001);
    EXPECT_EQ(std::memcmp(back.quaternion, status.quaternion, sizeof back.quaternion), 0);
    EXPECT_EQ(back.error_flag, 255);
    EXPECT_EQ(back.user_data_length, 255);
    EXPECT_TRUE(
        std::equal(back.user_data.begin(), back.user_data.begin() + 255, status.user_data.begin()));
    EXPECT_EQ(back.user_data[255] | back.user_data[256], 0) << "the tail past the data is zero";
    HandleStatusMessage untouched;
    EXPECT_FALSE(Wire::DecodeStatus(Codec::ConstBytes(out).subspan(1, 20 + 255), untouched));
    EXPECT_EQ(untouched.device_id, 0);

    Orvane::HardwareAPI::Devices::HandleInfo info{0xABCD, 5, 2, 3, 4}, info_back;
    ASSERT_EQ(Wire::EncodeInfo(out, info), 7u);
    EXPECT_EQ(Wire::MessageSize(Codec::ConstBytes(out).first(1)), 7u);
    ASSERT_TRUE(Wire::DecodeInfo(Codec::ConstBytes(out).subspan(1, 6), info_back));
    EXPECT_EQ(info_back.device_id, 0xABCD);
    EXPECT_EQ(info_back.tool_data_remaining, 5);
    EXPECT_EQ(info_back.firmware_version, 4);
    EXPECT_FALSE(Wire::DecodeInfo(Codec::ConstBytes(out).subspan(1, 5), info_back));

    Orvane::HardwareAPI::Devices::HandleErrorResponse error{7, 3}, error_back;
    ASSERT_EQ(Wire::EncodeErrorResponse(out, error), 4u);
    EXPECT_EQ(Wire::MessageSize(Codec::ConstBytes(out).first(1)), 4u);
    ASSERT_TRUE(Wire::DecodeErrorResponse(Codec::ConstBytes(out).subspan(1, 3), error_back));
    EXPECT_EQ(error_back.device_id, 7);
    EXPECT_EQ(error_back.error_code, 3);
    EXPECT_FALSE(Wire::DecodeErrorResponse(Codec::ConstBytes(out).subspan(1, 2), error_back));

    const std::uint8_t arm_reply[1] = {0x0B};
    EXPECT_EQ(Wire::MessageSize(arm_reply), Codec::kNoMessage);
    EXPECT_EQ(Wire::MessageSize({}), 0u);
}

}  // namespace
