// The clock the servo loop runs on, so a program can stamp what it sends on the same one.
#pragma once

#include <cstdint>

namespace Orvane::HardwareAPI::Haptics {

// Nanoseconds on the monotonic clock of the loop (CouplingTarget::stamp_ns is read on it).
std::int64_t MonotonicNs();

}  // namespace Orvane::HardwareAPI::Haptics
