// What the servo loop needs from the system beyond the serial port: a monotonic clock with
// absolute sleeps, and real-time treatment for the calling thread.
#pragma once

#include <cstdint>

namespace Orvane::HardwareAPI::Platform {

// Nanoseconds on the monotonic clock.
std::int64_t MonotonicNs();

// Sleeps until the monotonic clock reads `deadline_ns` (returns at once when it is past).
void SleepUntilNs(std::int64_t deadline_ns);

struct RealtimeGrant {
    char scheduler[24] = "";
    int priority = 0;
    bool memory_locked = false;
    char message[200] = "";  // empty when everything asked for was granted
};

// Asks for real-time scheduling of the calling thread and locked memory for the process;
// takes what the system allows and says what that was. Undone by LeaveRealtime on the same
// thread.
RealtimeGrant EnterRealtime();
void LeaveRealtime(const RealtimeGrant& grant);

}  // namespace Orvane::HardwareAPI::Platform
