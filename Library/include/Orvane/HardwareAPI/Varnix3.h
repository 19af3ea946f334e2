// The three-joint force-feedback arm. Every operation writes exactly one request or reads
// exactly one reply; on -1 a Receive leaves its outputs as they were.
#pragma once

#include <cstdint>

#include "Device.h"
#include "UUID.h"

namespace Orvane::HardwareAPI::Devices {

class Varnix3 : public Device {
public:
    using Device::Device;

    void SendDeviceWakeup();
    std::int32_t ReceiveDeviceInfo(std::uint16_t& device_id, std::uint8_t& device_model_number,
                                   std::uint8_t& hardware_version, std::uint8_t& firmware_version,
                                   UUID& uuid);

    void SendForce(const float force[3]);
    std::int32_t ReceiveState(float position[3], float velocity[3]);

    void SendJointTorques(const float torques[3]);
    std::int32_t ReceiveJointState(float joint_position[3], float joint_velocity[3]);

    void SendAngle(const float angles[3]);

    void RequestCurrent();
    std::int32_t ReceiveCurrent(float current[3]);

    void SendPosition(const float position[3]);

private:
    void SendVector(std::uint8_t header, const float values[3]);
    void SendBare(std::uint8_t header);
};

}  // namespace Orvane::HardwareAPI::Devices
