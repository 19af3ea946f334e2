#pragma once

namespace Orvane::HardwareAPI {

// The library version, reported by get_cpp_version and print_cpp_version.
inline constexpr const char* kLibraryVersion = "0.1.1";

}  // namespace Orvane::HardwareAPI
