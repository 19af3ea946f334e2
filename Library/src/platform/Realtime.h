// What the servo loop needs from the system beyond the serial port: a monotonic clock with
// absolute sleeps, and real-time treatment for the calling thread.
#pragma once

#include <cstdint>

namespace Orvane::HardwareAPI::Platform {

// Nanoseconds on the monotonic clock.
std::int64_t MonotonicNs();

// Sleeps until the monotonic clock reads `deadline_ns` (returns at once when it is past).
void SleepUntilNs(std::int64_t deadline_ns);

// CPU time the calling thread has used, in nanoseconds (0 where the system cannot say).
std::int64_t ThreadCpuNs();

// The calling process's id: an object made before a fork can tell it is in the child.
std::uint64_t ProcessId();

struct RealtimeGrant {
    char scheduler[24] = "";
    int priority = 0;
    bool memory_locked = false;
    bool lock_taken = false;  // the lock is this library's own, to be given back on leaving
    char message[200] = "";   // empty when everything asked for was granted
};

// Asks for real-time scheduling of the calling thread and locked memory for the process;
// takes what the system allows and says what that was. Undone by LeaveRealtime on the same
// thread; a memory lock the host program holds already is used as it is and never undone.
RealtimeGrant EnterRealtime();
void LeaveRealtime(const RealtimeGrant& grant);

}  // namespace Orvane::HardwareAPI::Platform
