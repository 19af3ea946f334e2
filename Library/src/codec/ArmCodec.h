// Every message between the host and the arm, both ways, over byte spans.
//
// Encoders write a whole message (header byte first) at the start of `out` and return its
// size; one that does not fit writes nothing and returns 0. Reply decoders take the payload,
// the bytes after a header the reader has already matched; one that is shorter than the
// reply's payload leaves every output as it was and returns false. The layouts themselves
// are the constants of Protocol.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Orvane/HardwareAPI/DeviceInfo.h"
#include "Orvane/HardwareAPI/Protocol.h"
#include "codec/Bytes.h"

namespace Orvane::HardwareAPI::Codec::Arm {

// Whole replies, header included.
inline constexpr std::size_t kDeviceInfoSize = 1 + Protocol::Arm::kDeviceInfoPayload;
inline constexpr std::size_t kStateSize = 1 + Protocol::Arm::kStatePayload;
inline constexpr std::size_t kCurrentSize = 1 + Protocol::Arm::kCurrentPayload;

// Host to arm.
std::size_t EncodeWakeup(Bytes out);
std::size_t EncodeCurrentRequest(Bytes out);
std::size_t EncodeForce(Bytes out, const float force[3]);
std::size_t EncodePosition(Bytes out, const float position[3]);
std::size_t EncodeJointTorques(Bytes out, const float torques[3]);
std::size_t EncodeJointAngles(Bytes out, const float angles[3]);

// The arm's side of the requests: the size of the request that `pending` starts, or
// kNoMessage for a first byte that starts none (every request's size follows from its header).
std::size_t RequestSize(ConstBytes pending);
// The three values of a whole vector request (force, position, torques or angles); false
// for a request that is not one or is cut short.
bool DecodeVectorRequest(ConstBytes request, float values[3]);

// Arm to host.
std::size_t EncodeDeviceInfo(Bytes out, const DeviceInfo& info);
bool DecodeDeviceInfo(ConstBytes payload, DeviceInfo& info);

std::size_t EncodeState(Bytes out, const float position[3], const float velocity[3]);
bool DecodeState(ConstBytes payload, float position[3], float velocity[3]);

std::size_t EncodeJointState(Bytes out, const float angles[3], const float velocities[3]);
bool DecodeJointState(ConstBytes payload, float angles[3], float velocities[3]);

std::size_t EncodeCurrent(Bytes out, const float current[3]);
bool DecodeCurrent(ConstBytes payload, float current[3]);

}  // namespace Orvane::HardwareAPI::Codec::Arm
