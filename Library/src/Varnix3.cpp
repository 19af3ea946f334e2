#include "Orvane/HardwareAPI/Varnix3.h"

#include "codec/ArmCodec.h"

namespace Orvane::HardwareAPI::Devices {
namespace {

namespace Arm = Protocol::Arm;

Codec::Bytes Out(Device& device) {
    return {device.WriteBuffer(), Protocol::kBufferSize};
}

Codec::ConstBytes Payload(const Device& device, std::int32_t n) {
    return {device.ReadBuffer(), static_cast<std::size_t>(n)};
}

}  // namespace

// Every request is built by its encoder in the write buffer and written in one call. (The
// header's private SendBare and SendVector are no longer defined: the encoders replaced them.)
void Varnix3::SendDeviceWakeup() {
    WriteBytes(Codec::Arm::EncodeWakeup(Out(*this)));
}
void Varnix3::RequestCurrent() {
    WriteBytes(Codec::Arm::EncodeCurrentRequest(Out(*this)));
}
void Varnix3::SendForce(const float force[3]) {
    WriteBytes(Codec::Arm::EncodeForce(Out(*this), force));
}
void Varnix3::SendJointTorques(const float torques[3]) {
    WriteBytes(Codec::Arm::EncodeJointTorques(Out(*this), torques));
}
void Varnix3::SendAngle(const float angles[3]) {
    WriteBytes(Codec::Arm::EncodeJointAngles(Out(*this), angles));
}
void Varnix3::SendPosition(const float position[3]) {
    WriteBytes(Codec::Arm::EncodePosition(Out(*this), position));
}

std::int32_t Varnix3::ReceiveDeviceInfo(std::uint16_t& device_id, std::uint8_t& device_model_number,
                                        std::uint8_t& hardware_version,
                                        std::uint8_t& firmware_version, UUID& uuid) {
    const std::int32_t n = ReadReply(Arm::kDeviceInfo, Arm::kDeviceInfoPayload);
    DeviceInfo info;
    if (n < 0 || !Codec::Arm::DecodeDeviceInfo(Payload(*this, n), info)) {
        return -1;
    }
    device_id = info.device_id;
    device_model_number = info.model_number;
    hardware_version = info.hardware_version;
    firmware_version = info.firmware_version;
    uuid = info.uuid;
    return n;
}

std::int32_t Varnix3::ReceiveState(float position[3], float velocity[3]) {
    const std::int32_t n = ReadReply(Arm::kEndEffectorState, Arm::kStatePayload);
    return n >= 0 && Codec::Arm::DecodeState(Payload(*this, n), position, velocity) ? n : -1;
}

std::int32_t Varnix3::ReceiveJointState(float joint_position[3], float joint_velocity[3]) {
    const std::int32_t n = ReadReply(Arm::kJointState, Arm::kStatePayload);
    return n >= 0 && Codec::Arm::DecodeJointState(Payload(*this, n), joint_position, joint_velocity)
               ? n
               : -1;
}

std::int32_t Varnix3::ReceiveCurrent(float current[3]) {
    const std::int32_t n = ReadReply(Arm::kCurrent, Arm::kCurrentPayload);
    return n >= 0 && Codec::Arm::DecodeCurrent(Payload(*this, n), current) ? n : -1;
}

}  // namespace Orvane::HardwareAPI::Devices
