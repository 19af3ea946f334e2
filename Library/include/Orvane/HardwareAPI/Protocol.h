// Wire layouts of every message the arm and the handle exchange with the host.
//
// One frame for everything: a header byte naming the message, then a fixed payload of
// little-endian fields packed without padding. The library and the device simulator both
// build and parse messages from these constants and helpers, so there is one definition.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace Orvane::HardwareAPI::Protocol {

// Size of each device's write and read buffer, and of the read that discards a wrong reply.
inline constexpr std::size_t kBufferSize = 1024;

namespace Arm {
// Requests, host to arm.
inline constexpr std::uint8_t kWakeup = 0x0A;
inline constexpr std::uint8_t kJointTorques = 0x1A;
inline constexpr std::uint8_t kJointAngles = 0x1C;
inline constexpr std::uint8_t kForce = 0x2A;
inline constexpr std::uint8_t kPosition = 0x2C;
inline constexpr std::uint8_t kCurrentRequest = 0xAB;

// Replies, arm to host. The current reply reuses the request's code.
inline constexpr std::uint8_t kDeviceInfo = 0x0B;
inline constexpr std::uint8_t kJointState = 0x1B;
inline constexpr std::uint8_t kEndEffectorState = 0x2B;
inline constexpr std::uint8_t kCurrent = 0xAB;

// Whole request sizes, header included.
inline constexpr std::size_t kBareRequestSize = 1;     // wake-up, current request
inline constexpr std::size_t kVectorRequestSize = 13;  // header + three float32

// Offsets inside a vector request (from the header byte).
inline constexpr std::size_t kVectorOffset = 1;

// Reply payload sizes (header byte not counted).
inline constexpr std::size_t kDeviceInfoPayload = 21;
inline constexpr std::size_t kStatePayload = 24;
inline constexpr std::size_t kCurrentPayload = 12;

// Device information payload offsets (from the first byte after the header).
inline constexpr std::size_t kInfoDeviceId = 0;     // uint16
inline constexpr std::size_t kInfoModelNumber = 2;  // uint8
inline constexpr std::size_t kInfoHardwareVersion = 3;
inline constexpr std::size_t kInfoFirmwareVersion = 4;
inline constexpr std::size_t kInfoUuid = 5;  // 16 bytes
inline constexpr std::size_t kUuidSize = 16;

// State payloads: three float32 positions, then three float32 velocities.
inline constexpr std::size_t kStatePosition = 0;
inline constexpr std::size_t kStateVelocity = 12;

// The model number an arm reports about itself.
inline constexpr std::uint8_t kArmModelNumber = 4;
}  // namespace Arm

namespace HandleMsg {
// Requests, host to handle.
inline constexpr std::uint8_t kWakeup = 0x0A;
inline constexpr std::uint8_t kStatusRequest = 0xDA;
inline constexpr std::uint8_t kState = 0xDB;

// Messages, handle to host. The status message shares its code with the status request.
inline constexpr std::uint8_t kInfo = 0xD0;
inline constexpr std::uint8_t kStatus = 0xDA;
inline constexpr std::uint8_t kErrorResponse = 0xDF;

// State message: header, uint16 device id, uint8 length, then the user data.
inline constexpr std::size_t kStateDeviceId = 1;
inline constexpr std::size_t kStateLength = 3;
inline constexpr std::size_t kStateData = 4;
inline constexpr std::size_t kStateHeaderSize = 4;
inline constexpr std::size_t kMaxUserData = 255;

// Information message payload.
inline constexpr std::size_t kInfoPayload = 6;
inline constexpr std::size_t kInfoToolDataRemaining = 0;
inline constexpr std::size_t kInfoDeviceId = 1;
inline constexpr std::size_t kInfoModelNumber = 3;
inline constexpr std::size_t kInfoHardwareVersion = 4;
inline constexpr std::size_t kInfoFirmwareVersion = 5;

// Status message payload: a fixed part, then user_data_length bytes of user data.
inline constexpr std::size_t kStatusFixedPayload = 21;
inline constexpr std::size_t kStatusDeviceId = 0;
inline constexpr std::size_t kStatusErrorFlag = 2;
inline constexpr std::size_t kStatusHallEffect = 3;
inline constexpr std::size_t kStatusQuaternion = 4;  // four float32
inline constexpr std::size_t kStatusUserDataLength = 20;

// Error response payload.
inline constexpr std::size_t kErrorPayload = 3;
inline constexpr std::size_t kErrorDeviceId = 0;
inline constexpr std::size_t kErrorCode = 2;
}  // namespace HandleMsg

// Little-endian field codecs. They work byte by byte so that the wire layout never
// depends on the host's byte order or on how a compiler lays out a struct.
inline void PutU16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline std::uint16_t GetU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline void PutU32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

inline std::uint32_t GetU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void PutF32(std::uint8_t* p, float v) {
    PutU32(p, std::bit_cast<std::uint32_t>(v));
}

inline float GetF32(const std::uint8_t* p) {
    return std::bit_cast<float>(GetU32(p));
}

// Three float32 in element order, the first at the lowest offset.
inline void PutF32x3(std::uint8_t* p, const float* v) {
    for (int i = 0; i < 3; ++i) {
        PutF32(p + 4 * i, v[i]);
    }
}

inline void GetF32x3(const std::uint8_t* p, float* v) {
    for (int i = 0; i < 3; ++i) {
        v[i] = GetF32(p + 4 * i);
    }
}

}  // namespace Orvane::HardwareAPI::Protocol
