// What every codec works on: byte spans, never a stream or a port. A codec reads and writes
// only the memory it is handed, so the servo thread, the listener, the device classes and
// the simulator can all share it, and it can be tested without a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace Orvane::HardwareAPI::Codec {

using Bytes = std::span<std::uint8_t>;
using ConstBytes = std::span<const std::uint8_t>;

// A framing answer for a first byte that starts no message of the kind asked for.
inline constexpr std::size_t kNoMessage = static_cast<std::size_t>(-1);

}  // namespace Orvane::HardwareAPI::Codec
