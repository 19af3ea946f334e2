// Real-time treatment on Windows: the time-critical thread priority, and sleeps that end on
// the performance counter. Memory is not locked: the loop's pages stay in use while it runs.
#include "platform/Realtime.h"

#include <cstdio>
#include <cstring>

#include "win32/Win32.h"

namespace Orvane::HardwareAPI::Platform {
namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
// The system's sleeps end on its timer tick; the last stretch is waited out by yielding.
constexpr std::int64_t kSpinNs = 2'000'000;

std::int64_t Frequency() {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
}

}  // namespace

std::int64_t MonotonicNs() {
    static const std::int64_t frequency = Frequency();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const std::int64_t seconds = now.QuadPart / frequency;
    const std::int64_t rest = now.QuadPart % frequency;
    return seconds * kNsPerSecond + rest * kNsPerSecond / frequency;
}

void SleepUntilNs(std::int64_t deadline_ns) {
    for (;;) {
        const std::int64_t left = deadline_ns - MonotonicNs();
        if (left <= 0) {
            return;
        }
        if (left > kSpinNs) {
            Sleep(static_cast<DWORD>((left - kSpinNs) / 1'000'000));
        } else {
            SwitchToThread();
        }
    }
}

std::int64_t ThreadCpuNs() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) {
        return 0;
    }
    auto ticks = [](const FILETIME& t) {
        return (static_cast<std::int64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return (ticks(kernel) + ticks(user)) * 100;  // 100 ns ticks
}

std::uint64_t ProcessId() {
    return GetCurrentProcessId();
}

RealtimeGrant EnterRealtime() {
    RealtimeGrant grant;
    if (!SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL)) {
        std::snprintf(grant.message, sizeof grant.message,
                      "time-critical priority refused (error %lu)", GetLastError());
    }
    const int priority = GetThreadPriority(GetCurrentThread());
    std::snprintf(grant.scheduler, sizeof grant.scheduler, "%s",
                  priority == THREAD_PRIORITY_TIME_CRITICAL ? "TIME_CRITICAL" : "NORMAL");
    grant.priority = priority;
    const std::size_t used = std::strlen(grant.message);
    std::snprintf(grant.message + used, sizeof grant.message - used, "%smemory is not locked here",
                  used != 0 ? "; " : "");
    return grant;
}

void LeaveRealtime(const RealtimeGrant&) {}

}  // namespace Orvane::HardwareAPI::Platform
