// Real-time treatment on POSIX: SCHED_FIFO for the loop thread, the process's pages locked
// in memory, and absolute sleeps on CLOCK_MONOTONIC.
#include "platform/Realtime.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/Platform.h"

namespace Orvane::HardwareAPI::Platform {
namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
// Ahead of ordinary work and of most driver threads: a servo loop that wakes late
// pushes with a stale force.
constexpr int kWantedPriority = 80;
// Stack the loop may use, touched once so its pages are there before they are locked.
constexpr std::size_t kStackPrefault = 64 * 1024;

#ifdef MCL_ONFAULT
constexpr int kLockFlags = MCL_CURRENT | MCL_ONFAULT;
#else
constexpr int kLockFlags = MCL_CURRENT;
#endif

std::mutex lock_mutex;
int lock_users = 0;  // loops that hold the memory lock

void PrefaultStack() {
    unsigned char pages[kStackPrefault];
    volatile unsigned char* touch = pages;
    for (std::size_t i = 0; i < kStackPrefault; i += 4096) {
        touch[i] = 0;
    }
}

// Kilobytes of memory the process has locked now, or -1 when the system does not say.
long LockedKb() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) {
        return -1;
    }
    char line[128];
    long kb = -1;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::sscanf(line, "VmLck: %ld", &kb) == 1) {
            break;
        }
    }
    std::fclose(status);
    return kb;
}

void Append(char* message, std::size_t size, const char* what, int error) {
    char text[120] = "";
    ErrorText(static_cast<std::uint32_t>(error), text, sizeof text);
    const std::size_t used = std::strlen(message);
    std::snprintf(message + used, size - used, "%s%s refused: %s", used != 0 ? "; " : "", what,
                  text[0] != '\0' ? text : "unknown");
}

}  // namespace

std::int64_t MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

void SleepUntilNs(std::int64_t deadline_ns) {
    timespec until{};
    until.tv_sec = static_cast<time_t>(deadline_ns / kNsPerSecond);
    until.tv_nsec = static_cast<long>(deadline_ns % kNsPerSecond);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

std::int64_t ThreadCpuNs() {
    timespec used{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used) != 0) {
        return 0;
    }
    return static_cast<std::int64_t>(used.tv_sec) * kNsPerSecond + used.tv_nsec;
}

std::uint64_t ProcessId() {
    return static_cast<std::uint64_t>(getpid());
}

RealtimeGrant EnterRealtime() {
    RealtimeGrant grant;
    sched_param param{};
    param.sched_priority = std::min(kWantedPriority, sched_get_priority_max(SCHED_FIFO));
    const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (error != 0) {
        Append(grant.message, sizeof grant.message, "SCHED_FIFO", error);
    }

    int policy = SCHED_OTHER;
    pthread_getschedparam(pthread_self(), &policy, &param);
    std::snprintf(grant.scheduler, sizeof grant.scheduler, "%s",
                  policy == SCHED_FIFO ? "SCHED_FIFO"
                  : policy == SCHED_RR ? "SCHED_RR"
                                       : "SCHED_OTHER");
    grant.priority = param.sched_priority;

    PrefaultStack();
    std::lock_guard<std::mutex> hold(lock_mutex);
    if (lock_users > 0) {
        ++lock_users;
        grant.memory_locked = grant.lock_taken = true;
        return grant;
    }
    // A lock the host program took (perhaps with MCL_FUTURE, which a call of ours would
    // clear) is the program's to keep: it is neither replaced now nor undone on leaving.
    if (const long kb = LockedKb(); kb > 0) {
        grant.memory_locked = true;
        const std::size_t used = std::strlen(grant.message);
        std::snprintf(grant.message + used, sizeof grant.message - used,
                      "%smemory locked by the program itself (%ld kB), left as it is",
                      used != 0 ? "; " : "", kb);
        return grant;
    }
    // Only the pages mapped now: locking future ones too would make the host program's
    // allocations fail once the lock limit is reached. Where the system can, pages are
    // locked as they are used rather than all read in at once, which would make every
    // untouched thread stack and mapping of the host program resident.
    if (mlockall(kLockFlags) == 0) {
        ++lock_users;
        grant.memory_locked = grant.lock_taken = true;
    } else {
        Append(grant.message, sizeof grant.message, "mlockall", errno);
    }
    return grant;
}

void LeaveRealtime(const RealtimeGrant& grant) {
    if (!grant.lock_taken) {
        return;
    }
    std::lock_guard<std::mutex> hold(lock_mutex);
    if (--lock_users == 0) {
        munlockall();
    }
}

}  // namespace Orvane::HardwareAPI::Platform
