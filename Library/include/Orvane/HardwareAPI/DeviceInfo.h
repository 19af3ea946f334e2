// What a device says about itself when woken: its numbers and its identifier.
#pragma once

#include <cstdint>

#include "UUID.h"

namespace Orvane::HardwareAPI {

// The numbers start at zero and the identifier all zero, so a missing or wrong reply gives
// zeros throughout.
struct DeviceInfo {
    std::uint16_t device_id = 0;
    std::uint8_t model_number = 0;
    std::uint8_t hardware_version = 0;
    std::uint8_t firmware_version = 0;
    UUID uuid{};
};

}  // namespace Orvane::HardwareAPI
