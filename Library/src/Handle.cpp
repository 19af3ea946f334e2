#include "Orvane/HardwareAPI/Handle.h"

#include <algorithm>

namespace Orvane::HardwareAPI::Devices {

namespace Msg = Protocol::HandleMsg;

void Handle::SendDeviceWakeup() {
    WriteBuffer()[0] = Msg::kWakeup;
    WriteBytes(1);
}

void Handle::RequestStatus() {
    WriteBuffer()[0] = Msg::kStatusRequest;
    WriteBytes(1);
}

void Handle::SendHandleState(std::uint16_t device_id, std::uint8_t data_length,
                             const std::uint8_t* user_data) {
    if (data_length > 0 && user_data == nullptr) {
        return;  // no data to send: write nothing rather than read through a missing pointer
    }
    std::uint8_t* out = WriteBuffer();
    out[0] = Msg::kState;
    Protocol::PutU16(out + Msg::kStateDeviceId, device_id);
    out[Msg::kStateLength] = data_length;
    if (data_length > 0) {
        std::copy_n(user_data, data_length, out + Msg::kStateData);
    }
    WriteBytes(Msg::kStateHeaderSize + data_length);
}

int Handle::Receive() {
    switch (ReadHeaderCode()) {
        case Msg::kInfo: {
            const int count = ReadBytes(Msg::kInfoPayload);
            const std::uint8_t* in = ReadBuffer();
            HandleInfo info{};
            info.tool_data_remaining = in[Msg::kInfoToolDataRemaining];
            info.device_id = Protocol::GetU16(in + Msg::kInfoDeviceId);
            info.device_model_number = in[Msg::kInfoModelNumber];
            info.hardware_version = in[Msg::kInfoHardwareVersion];
            info.firmware_version = in[Msg::kInfoFirmwareVersion];
            OnReceiveHandleInfo(info.tool_data_remaining, info.device_id, info.device_model_number,
                                info.hardware_version, info.firmware_version);
            OnReceiveHandleInfoRecord(info);
            return count;
        }
        case Msg::kStatus: {
            HandleStatusMessage status{};  // user data zero-filled
            const int fixed = ReadBytes(Msg::kStatusFixedPayload);
            const std::uint8_t* in = ReadBuffer();
            status.device_id = Protocol::GetU16(in + Msg::kStatusDeviceId);
            status.error_flag = in[Msg::kStatusErrorFlag];
            status.hall_effect_sensor_level = in[Msg::kStatusHallEffect];
            for (int i = 0; i < 4; ++i) {
                status.quaternion[i] = Protocol::GetF32(in + Msg::kStatusQuaternion + 4 * i);
            }
            status.user_data_length = in[Msg::kStatusUserDataLength];
            // The second read refills the read buffer from its start.
            const int data = ReadBytes(status.user_data_length);
            std::copy_n(ReadBuffer(), status.user_data_length, status.user_data.begin());
            OnReceiveHandleStatusMessage(status.device_id, status.quaternion, status.error_flag,
                                         status.hall_effect_sensor_level, status.user_data_length,
                                         status.user_data.data());
            OnReceiveHandleStatusMessageRecord(status);
            return fixed + data;
        }
        case Msg::kErrorResponse: {
            const int count = ReadBytes(Msg::kErrorPayload);
            const std::uint8_t* in = ReadBuffer();
            HandleErrorResponse error{};
            error.device_id = Protocol::GetU16(in + Msg::kErrorDeviceId);
            error.error_code = in[Msg::kErrorCode];
            OnReceiveHandleErrorResponse(error.device_id, error.error_code);
            OnReceiveHandleErrorResponseRecord(error);
            return count;
        }
        default:
            return -1;  // only the header byte is consumed
    }
}

}  // namespace Orvane::HardwareAPI::Devices
