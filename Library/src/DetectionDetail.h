// Detection with its wait bound as a parameter, for callers that need a shorter one.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "PortTable.h"
#include "platform/Platform.h"

namespace Orvane::HardwareAPI {

// One port, opened afresh, woken and read once: 1 when an arm (a handle) answered, else 0.
int probe_varnix3_port(const char* port);
int probe_handle_port(const char* port);

}  // namespace Orvane::HardwareAPI

namespace Orvane::HardwareAPI::Detail {

enum class Search { Varnix3s, Handles, WiredHandles, WirelessHandles };

using Probe = int (*)(const char* port);

// Runs `probe` on a worker task and waits for it at most `bound` on a monotonic clock.
// The task's result when it ended in time, else 0; returns only after the task ended.
int CheckPort(Probe probe, const char* port, std::chrono::milliseconds bound);

// A probe whose reads and writes all end by `end`, whatever the device sends.
using BoundedProbe = int (*)(const char* port, std::chrono::steady_clock::time_point end);
int ProbeArmUntil(const char* port, std::chrono::steady_clock::time_point end);
int ProbeHandleUntil(const char* port, std::chrono::steady_clock::time_point end);

// As CheckPort, with the probe's I/O ending early enough for the whole probe, its open's
// look for other holders and its close included, to end within `bound`.
int CheckPortWithin(BoundedProbe probe, const char* port, std::chrono::milliseconds bound);

// Lists the table's ports and probes those of the searched kinds one at a time, each with
// the arm's or the handle's probe kept within `bound`; the ports that answered, in list
// order. Each probe looks for other holders of its own port as it opens it.
std::vector<std::string> Detect(PortTable& table, Search search, std::chrono::milliseconds bound);

}  // namespace Orvane::HardwareAPI::Detail
