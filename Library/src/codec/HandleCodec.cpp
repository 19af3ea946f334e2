#include "codec/HandleCodec.h"

#include <algorithm>

namespace Orvane::HardwareAPI::Codec::Handle {
namespace {

namespace Layout = Protocol::HandleMsg;

std::size_t Bare(Bytes out, std::uint8_t header) {
    if (out.empty()) {
        return 0;
    }
    out[0] = header;
    return 1;
}

}  // namespace

std::size_t EncodeWakeup(Bytes out) {
    return Bare(out, Layout::kWakeup);
}

std::size_t EncodeStatusRequest(Bytes out) {
    return Bare(out, Layout::kStatusRequest);
}

std::size_t EncodeState(Bytes out, std::uint16_t device_id, ConstBytes user_data) {
    const std::size_t size = Layout::kStateHeaderSize + user_data.size();
    if (user_data.size() > Layout::kMaxUserData || out.size() < size) {
        return 0;
    }
    out[0] = Layout::kState;
    Protocol::PutU16(out.data() + Layout::kStateDeviceId, device_id);
    out[Layout::kStateLength] = static_cast<std::uint8_t>(user_data.size());
    std::copy(user_data.begin(), user_data.end(), out.begin() + Layout::kStateData);
    return size;
}

std::size_t RequestSize(ConstBytes pending) {
    if (pending.empty()) {
        return 0;
    }
    switch (pending[0]) {
        case Layout::kWakeup:
        case Layout::kStatusRequest:
            return 1;
        case Layout::kState:
            return pending.size() > Layout::kStateLength
                       ? Layout::kStateHeaderSize + pending[Layout::kStateLength]
                       : 0;
        default:
            return kNoMessage;
    }
}

bool DecodeState(ConstBytes request, std::uint16_t& device_id, ConstBytes& user_data) {
    const std::size_t size = RequestSize(request);
    if (request.empty() || request[0] != Layout::kState || size == 0 || request.size() < size) {
        return false;
    }
    device_id = Protocol::GetU16(request.data() + Layout::kStateDeviceId);
    user_data = request.subspan(Layout::kStateData, size - Layout::kStateHeaderSize);
    return true;
}

std::size_t MessageSize(ConstBytes pending) {
    if (pending.empty()) {
        return 0;
    }
    switch (pending[0]) {
        case Layout::kInfo:
            return kInfoSize;
        case Layout::kErrorResponse:
            return kErrorResponseSize;
        case Layout::kStatus:
            return pending.size() < kStatusFixedSize
                       ? 0
                       : kStatusFixedSize + pending[1 + Layout::kStatusUserDataLength];
        default:
            return kNoMessage;
    }
}

std::size_t EncodeInfo(Bytes out, const Devices::HandleInfo& info) {
    if (out.size() < kInfoSize) {
        return 0;
    }
    out[0] = Layout::kInfo;
    std::uint8_t* p = out.data() + 1;
    p[Layout::kInfoToolDataRemaining] = info.tool_data_remaining;
    Protocol::PutU16(p + Layout::kInfoDeviceId, info.device_id);
    p[Layout::kInfoModelNumber] = info.device_model_number;
    p[Layout::kInfoHardwareVersion] = info.hardware_version;
    p[Layout::kInfoFirmwareVersion] = info.firmware_version;
    return kInfoSize;
}

bool DecodeInfo(ConstBytes payload, Devices::HandleInfo& info) {
    if (payload.size() < Layout::kInfoPayload) {
        return false;
    }
    const std::uint8_t* p = payload.data();
    info.tool_data_remaining = p[Layout::kInfoToolDataRemaining];
    info.device_id = Protocol::GetU16(p + Layout::kInfoDeviceId);
    info.device_model_number = p[Layout::kInfoModelNumber];
    info.hardware_version = p[Layout::kInfoHardwareVersion];
    info.firmware_version = p[Layout::kInfoFirmwareVersion];
    return true;
}

std::size_t EncodeStatus(Bytes out, const Devices::HandleStatusMessage& status) {
    const std::size_t size = kStatusFixedSize + status.user_data_length;
    if (out.size() < size) {
        return 0;
    }
    out[0] = Layout::kStatus;
    std::uint8_t* p = out.data() + 1;
    Protocol::PutU16(p + Layout::kStatusDeviceId, status.device_id);
    p[Layout::kStatusErrorFlag] = status.error_flag;
    p[Layout::kStatusHallEffect] = status.hall_effect_sensor_level;
    for (int i = 0; i < 4; ++i) {
        Protocol::PutF32(p + Layout::kStatusQuaternion + 4 * i, status.quaternion[i]);
    }
    p[Layout::kStatusUserDataLength] = status.user_data_length;
    std::copy_n(status.user_data.begin(), status.user_data_length, p + Layout::kStatusFixedPayload);
    return size;
}

bool DecodeStatusHead(ConstBytes payload, Devices::HandleStatusMessage& status) {
    if (payload.size() < Layout::kStatusFixedPayload) {
        return false;
    }
    const std::uint8_t* p = payload.data();
    status.device_id = Protocol::GetU16(p + Layout::kStatusDeviceId);
    status.error_flag = p[Layout::kStatusErrorFlag];
    status.hall_effect_sensor_level = p[Layout::kStatusHallEffect];
    for (int i = 0; i < 4; ++i) {
        status.quaternion[i] = Protocol::GetF32(p + Layout::kStatusQuaternion + 4 * i);
    }
    status.user_data_length = p[Layout::kStatusUserDataLength];
    return true;
}

bool DecodeStatus(ConstBytes payload, Devices::HandleStatusMessage& status) {
    if (payload.size() < Layout::kStatusFixedPayload ||
        payload.size() < Layout::kStatusFixedPayload + payload[Layout::kStatusUserDataLength]) {
        return false;
    }
    DecodeStatusHead(payload, status);
    const auto data = payload.subspan(Layout::kStatusFixedPayload, status.user_data_length);
    const auto end = std::copy(data.begin(), data.end(), status.user_data.begin());
    std::fill(end, status.user_data.end(), std::uint8_t{0});
    return true;
}

std::size_t EncodeErrorResponse(Bytes out, const Devices::HandleErrorResponse& error) {
    if (out.size() < kErrorResponseSize) {
        return 0;
    }
    out[0] = Layout::kErrorResponse;
    Protocol::PutU16(out.data() + 1 + Layout::kErrorDeviceId, error.device_id);
    out[1 + Layout::kErrorCode] = error.error_code;
    return kErrorResponseSize;
}

bool DecodeErrorResponse(ConstBytes payload, Devices::HandleErrorResponse& error) {
    if (payload.size() < Layout::kErrorPayload) {
        return false;
    }
    error.device_id = Protocol::GetU16(payload.data() + Layout::kErrorDeviceId);
    error.error_code = payload[Layout::kErrorCode];
    return true;
}

}  // namespace Orvane::HardwareAPI::Codec::Handle
