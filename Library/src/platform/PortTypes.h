// What the stream buffer and the platform code share about a port.
#pragma once

#include <cstdint>

namespace Orvane::HardwareAPI::IO {

// Time-outs in milliseconds, in the order the port applies them.
struct CommTimeouts {
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
};

// The platform's port handle; kInvalidPort means closed.
using PortHandle = std::intptr_t;
inline constexpr PortHandle kInvalidPort = -1;

}  // namespace Orvane::HardwareAPI::IO
