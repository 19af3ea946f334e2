// Finds the ports on which an arm or a handle answers right now. Each probe runs as a task
// on a worker thread while the caller waits with a bound; probes never overlap.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "SerialDeviceProvider.h"

namespace Orvane::HardwareAPI {

std::vector<std::string> detect_varnix3s();
std::vector<std::string> detect_handles();
std::vector<std::string> detect_wired_handles();
std::vector<std::string> detect_wireless_handles();

// How long detection waits for one port to answer.
inline constexpr std::chrono::seconds kArmProbeBound{3};
inline constexpr std::chrono::seconds kHandleProbeBound{5};

}  // namespace Orvane::HardwareAPI
