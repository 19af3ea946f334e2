#include "codec/ArmCodec.h"

namespace Orvane::HardwareAPI::Codec::Arm {
namespace {

namespace Layout = Protocol::Arm;

std::size_t Bare(Bytes out, std::uint8_t header) {
    if (out.size() < Layout::kBareRequestSize) {
        return 0;
    }
    out[0] = header;
    return Layout::kBareRequestSize;
}

std::size_t Vector(Bytes out, std::uint8_t header, const float values[3]) {
    if (out.size() < Layout::kVectorRequestSize) {
        return 0;
    }
    out[0] = header;
    Protocol::PutF32x3(out.data() + Layout::kVectorOffset, values);
    return Layout::kVectorRequestSize;
}

// The two state replies share one layout: three values, then their three rates.
std::size_t PutTwoVectors(Bytes out, std::uint8_t header, const float first[3],
                          const float second[3]) {
    if (out.size() < kStateSize) {
        return 0;
    }
    out[0] = header;
    Protocol::PutF32x3(out.data() + 1 + Layout::kStatePosition, first);
    Protocol::PutF32x3(out.data() + 1 + Layout::kStateVelocity, second);
    return kStateSize;
}

bool GetTwoVectors(ConstBytes payload, float first[3], float second[3]) {
    if (payload.size() < Layout::kStatePayload) {
        return false;
    }
    Protocol::GetF32x3(payload.data() + Layout::kStatePosition, first);
    Protocol::GetF32x3(payload.data() + Layout::kStateVelocity, second);
    return true;
}

}  // namespace

std::size_t EncodeWakeup(Bytes out) {
    return Bare(out, Layout::kWakeup);
}
std::size_t EncodeCurrentRequest(Bytes out) {
    return Bare(out, Layout::kCurrentRequest);
}
std::size_t EncodeForce(Bytes out, const float force[3]) {
    return Vector(out, Layout::kForce, force);
}
std::size_t EncodePosition(Bytes out, const float position[3]) {
    return Vector(out, Layout::kPosition, position);
}
std::size_t EncodeJointTorques(Bytes out, const float torques[3]) {
    return Vector(out, Layout::kJointTorques, torques);
}
std::size_t EncodeJointAngles(Bytes out, const float angles[3]) {
    return Vector(out, Layout::kJointAngles, angles);
}

std::size_t RequestSize(ConstBytes pending) {
    if (pending.empty()) {
        return 0;
    }
    switch (pending[0]) {
        case Layout::kWakeup:
        case Layout::kCurrentRequest:
            return Layout::kBareRequestSize;
        case Layout::kJointTorques:
        case Layout::kJointAngles:
        case Layout::kForce:
        case Layout::kPosition:
            return Layout::kVectorRequestSize;
        default:
            return kNoMessage;
    }
}

bool DecodeVectorRequest(ConstBytes request, float values[3]) {
    if (RequestSize(request) != Layout::kVectorRequestSize ||
        request.size() < Layout::kVectorRequestSize) {
        return false;
    }
    Protocol::GetF32x3(request.data() + Layout::kVectorOffset, values);
    return true;
}

std::size_t EncodeDeviceInfo(Bytes out, const DeviceInfo& info) {
    if (out.size() < kDeviceInfoSize) {
        return 0;
    }
    out[0] = Layout::kDeviceInfo;
    std::uint8_t* p = out.data() + 1;
    Protocol::PutU16(p + Layout::kInfoDeviceId, info.device_id);
    p[Layout::kInfoModelNumber] = info.model_number;
    p[Layout::kInfoHardwareVersion] = info.hardware_version;
    p[Layout::kInfoFirmwareVersion] = info.firmware_version;
    for (std::size_t i = 0; i < Layout::kUuidSize; ++i) {
        p[Layout::kInfoUuid + i] = info.uuid[i];
    }
    return kDeviceInfoSize;
}

bool DecodeDeviceInfo(ConstBytes payload, DeviceInfo& info) {
    if (payload.size() < Layout::kDeviceInfoPayload) {
        return false;
    }
    const std::uint8_t* p = payload.data();
    info.device_id = Protocol::GetU16(p + Layout::kInfoDeviceId);
    info.model_number = p[Layout::kInfoModelNumber];
    info.hardware_version = p[Layout::kInfoHardwareVersion];
    info.firmware_version = p[Layout::kInfoFirmwareVersion];
    info.uuid.Assign(p + Layout::kInfoUuid);
    return true;
}

std::size_t EncodeState(Bytes out, const float position[3], const float velocity[3]) {
    return PutTwoVectors(out, Layout::kEndEffectorState, position, velocity);
}
bool DecodeState(ConstBytes payload, float position[3], float velocity[3]) {
    return GetTwoVectors(payload, position, velocity);
}

std::size_t EncodeJointState(Bytes out, const float angles[3], const float velocities[3]) {
    return PutTwoVectors(out, Layout::kJointState, angles, velocities);
}
bool DecodeJointState(ConstBytes payload, float angles[3], float velocities[3]) {
    return GetTwoVectors(payload, angles, velocities);
}

std::size_t EncodeCurrent(Bytes out, const float current[3]) {
    if (out.size() < kCurrentSize) {
        return 0;
    }
    out[0] = Layout::kCurrent;
    Protocol::PutF32x3(out.data() + 1, current);
    return kCurrentSize;
}

bool DecodeCurrent(ConstBytes payload, float current[3]) {
    if (payload.size() < Layout::kCurrentPayload) {
        return false;
    }
    Protocol::GetF32x3(payload.data(), current);
    return true;
}

}  // namespace Orvane::HardwareAPI::Codec::Arm
