// The hand-held handle: three requests that write and return at once, and Receive, which
// reads one message and hands its fields to the virtual callbacks.
#pragma once

#include <array>
#include <cstdint>

#include "Device.h"

namespace Orvane::HardwareAPI::Devices {

struct HandleInfo {
    std::uint16_t device_id = 0;
    std::uint8_t tool_data_remaining = 0;
    std::uint8_t device_model_number = 0;
    std::uint8_t hardware_version = 0;
    std::uint8_t firmware_version = 0;
};

struct HandleStatusMessage {
    std::uint16_t device_id = 0;
    float quaternion[4] = {0, 0, 0, 0};
    std::uint8_t error_flag = 0;
    std::uint8_t hall_effect_sensor_level = 0;
    std::uint8_t user_data_length = 0;
    std::array<std::uint8_t, 257> user_data{};
};

struct HandleErrorResponse {
    std::uint16_t device_id = 0;
    std::uint8_t error_code = 0;
};

class Handle : public Device {
public:
    using Device::Device;
    virtual ~Handle() = default;

    void SendDeviceWakeup();
    void RequestStatus();
    // Writes 0xDB, the device id, data_length and data_length bytes from user_data, which
    // is not read when data_length is 0. A null user_data with data to send writes nothing.
    void SendHandleState(std::uint16_t device_id, std::uint8_t data_length,
                         const std::uint8_t* user_data);

    // Reads one message: 6, 21 + user data length or 3 payload bytes read, or -1 for a
    // header that is none of the three messages (only that byte is consumed).
    int Receive();

    // Callbacks, field-by-field form first, record form second; all do nothing here.
    virtual void OnReceiveHandleInfo(std::uint8_t tool_data_remaining, std::uint16_t device_id,
                                     std::uint8_t device_model_number,
                                     std::uint8_t hardware_version, std::uint8_t firmware_version) {
    }
    virtual void OnReceiveHandleInfoRecord(const HandleInfo& info) {}
    virtual void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                              std::uint8_t error_flag,
                                              std::uint8_t hall_effect_sensor_level,
                                              std::uint8_t user_data_length,
                                              const std::uint8_t* user_data) {}
    virtual void OnReceiveHandleStatusMessageRecord(const HandleStatusMessage& status) {}
    virtual void OnReceiveHandleErrorResponse(std::uint16_t device_id, std::uint8_t error_code) {}
    virtual void OnReceiveHandleErrorResponseRecord(const HandleErrorResponse& error) {}
};

}  // namespace Orvane::HardwareAPI::Devices
