// The 16-byte identifier an arm reports about itself. Opaque bytes in the order the
// device sends them; the library never parses, compares or prints it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace Orvane::HardwareAPI {

struct UUID {
    std::array<std::uint8_t, 16> bytes{};  // all zero by default

    void Assign(const std::uint8_t* source) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = source[i];
        }
    }
    std::uint8_t operator[](std::size_t i) const { return bytes[i]; }
};

}  // namespace Orvane::HardwareAPI
