#include "Orvane/HardwareAPI/Varnix3.h"

namespace Orvane::HardwareAPI::Devices {

namespace Arm = Protocol::Arm;

void Varnix3::SendBare(std::uint8_t header) {
    WriteBuffer()[0] = header;
    WriteBytes(Arm::kBareRequestSize);
}

void Varnix3::SendVector(std::uint8_t header, const float values[3]) {
    std::uint8_t* out = WriteBuffer();
    out[0] = header;
    Protocol::PutF32x3(out + Arm::kVectorOffset, values);
    WriteBytes(Arm::kVectorRequestSize);
}

void Varnix3::SendDeviceWakeup() {
    SendBare(Arm::kWakeup);
}
void Varnix3::RequestCurrent() {
    SendBare(Arm::kCurrentRequest);
}
void Varnix3::SendForce(const float force[3]) {
    SendVector(Arm::kForce, force);
}
void Varnix3::SendJointTorques(const float torques[3]) {
    SendVector(Arm::kJointTorques, torques);
}
void Varnix3::SendAngle(const float angles[3]) {
    SendVector(Arm::kJointAngles, angles);
}
void Varnix3::SendPosition(const float position[3]) {
    SendVector(Arm::kPosition, position);
}

std::int32_t Varnix3::ReceiveDeviceInfo(std::uint16_t& device_id, std::uint8_t& device_model_number,
                                        std::uint8_t& hardware_version,
                                        std::uint8_t& firmware_version, UUID& uuid) {
    const std::int32_t n = ReadReply(Arm::kDeviceInfo, Arm::kDeviceInfoPayload);
    if (n < 0) {
        return n;
    }
    const std::uint8_t* in = ReadBuffer();
    device_id = Protocol::GetU16(in + Arm::kInfoDeviceId);
    device_model_number = in[Arm::kInfoModelNumber];
    hardware_version = in[Arm::kInfoHardwareVersion];
    firmware_version = in[Arm::kInfoFirmwareVersion];
    uuid.Assign(in + Arm::kInfoUuid);
    return n;
}

std::int32_t Varnix3::ReceiveState(float position[3], float velocity[3]) {
    const std::int32_t n = ReadReply(Arm::kEndEffectorState, Arm::kStatePayload);
    if (n >= 0) {
        Protocol::GetF32x3(ReadBuffer() + Arm::kStatePosition, position);
        Protocol::GetF32x3(ReadBuffer() + Arm::kStateVelocity, velocity);
    }
    return n;
}

std::int32_t Varnix3::ReceiveJointState(float joint_position[3], float joint_velocity[3]) {
    const std::int32_t n = ReadReply(Arm::kJointState, Arm::kStatePayload);
    if (n >= 0) {
        Protocol::GetF32x3(ReadBuffer() + Arm::kStatePosition, joint_position);
        Protocol::GetF32x3(ReadBuffer() + Arm::kStateVelocity, joint_velocity);
    }
    return n;
}

std::int32_t Varnix3::ReceiveCurrent(float current[3]) {
    const std::int32_t n = ReadReply(Arm::kCurrent, Arm::kCurrentPayload);
    if (n >= 0) {
        Protocol::GetF32x3(ReadBuffer(), current);
    }
    return n;
}

}  // namespace Orvane::HardwareAPI::Devices
