#include "Orvane/HardwareAPI/Handle.h"

#include <algorithm>

#include "codec/HandleCodec.h"

namespace Orvane::HardwareAPI::Devices {
namespace {

namespace Msg = Protocol::HandleMsg;
namespace Wire = Codec::Handle;

Codec::Bytes Out(Device& device) {
    return {device.WriteBuffer(), Protocol::kBufferSize};
}

// The whole read buffer: a short read still decodes, from whatever the buffer holds.
Codec::ConstBytes In(const Device& device) {
    return {device.ReadBuffer(), Protocol::kBufferSize};
}

}  // namespace

void Handle::SendDeviceWakeup() {
    WriteBytes(Wire::EncodeWakeup(Out(*this)));
}

void Handle::RequestStatus() {
    WriteBytes(Wire::EncodeStatusRequest(Out(*this)));
}

void Handle::SendHandleState(std::uint16_t device_id, std::uint8_t data_length,
                             const std::uint8_t* user_data) {
    if (data_length > 0 && user_data == nullptr) {
        return;  // no data to send: write nothing rather than read through a missing pointer
    }
    const Codec::ConstBytes data =
        data_length > 0 ? Codec::ConstBytes(user_data, data_length) : Codec::ConstBytes();
    WriteBytes(Wire::EncodeState(Out(*this), device_id, data));
}

int Handle::Receive() {
    switch (ReadHeaderCode()) {
        case Msg::kInfo: {
            const int count = ReadBytes(Msg::kInfoPayload);
            HandleInfo info{};
            Wire::DecodeInfo(In(*this), info);
            OnReceiveHandleInfo(info.tool_data_remaining, info.device_id, info.device_model_number,
                                info.hardware_version, info.firmware_version);
            OnReceiveHandleInfoRecord(info);
            return count;
        }
        case Msg::kStatus: {
            HandleStatusMessage status{};  // user data zero-filled
            const int fixed = ReadBytes(Msg::kStatusFixedPayload);
            Wire::DecodeStatusHead(In(*this), status);
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
            HandleErrorResponse error{};
            Wire::DecodeErrorResponse(In(*this), error);
            OnReceiveHandleErrorResponse(error.device_id, error.error_code);
            OnReceiveHandleErrorResponseRecord(error);
            return count;
        }
        default:
            return -1;  // only the header byte is consumed
    }
}

}  // namespace Orvane::HardwareAPI::Devices
