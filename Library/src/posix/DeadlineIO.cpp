// Reads and writes that end by a deadline on the monotonic clock, to the nanosecond: the
// servo loop's and the handle listener's exchanges. A hang-up says so instead of looking
// like a silent line.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "platform/Platform.h"
#include "platform/Realtime.h"

namespace Orvane::HardwareAPI::Platform {
namespace {

int Fd(PortHandle port) {
    return static_cast<int>(port);
}

enum class Wait { Ready, TimedOut, HungUp };

// Waits once for `events` on fd until the monotonic clock reads deadline_ns, to the
// nanosecond; only EINTR restarts the wait.
Wait WaitUntilNs(int fd, short events, std::int64_t deadline_ns) {
    constexpr std::int64_t kNsPerSecond = 1'000'000'000;
    for (;;) {
        const std::int64_t left = deadline_ns - MonotonicNs();
        if (left <= 0) {
            return Wait::TimedOut;
        }
        const timespec wait{static_cast<time_t>(left / kNsPerSecond),
                            static_cast<long>(left % kNsPerSecond)};
        pollfd p{fd, events, 0};
        const int r = ppoll(&p, 1, &wait, nullptr);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            return Wait::HungUp;
        }
        if (r == 0) {
            continue;  // the clock above decides whether the deadline has come
        }
        return (p.revents & events) != 0 ? Wait::Ready : Wait::HungUp;
    }
}

}  // namespace

// The bytes already waiting cost no clock reading; the clock is read only when a wait is
// due.
Transferred ReadBy(PortHandle port, char* destination, std::size_t n, std::int64_t deadline_ns) {
    const int fd = Fd(port);
    Transferred out;
    bool waited = false;
    while (out.bytes < n) {
        const ssize_t r = read(fd, destination + out.bytes, n - out.bytes);
        if (r > 0) {
            out.bytes += static_cast<std::size_t>(r);
            waited = false;
            continue;
        }
        if (r < 0 && errno == EINTR) {
            continue;
        }
        // A raw terminal with no byte waiting answers EAGAIN (or 0 with VMIN 0); only a 0
        // after the line was reported readable is an end of file, a hang-up.
        const bool empty =
            (r == 0 && !waited) || (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
        if (!empty) {
            out.line_lost = true;  // end of file, or an I/O error such as EIO after a hang-up
            break;
        }
        const Wait ready = WaitUntilNs(fd, POLLIN, deadline_ns);
        if (ready == Wait::TimedOut) {
            break;
        }
        if (ready == Wait::HungUp) {
            out.line_lost = true;
            break;
        }
        waited = true;
    }
    return out;
}

Transferred WriteBy(PortHandle port, const char* source, std::size_t n, std::int64_t deadline_ns) {
    const int fd = Fd(port);
    Transferred out;
    while (out.bytes < n) {
        const ssize_t w = write(fd, source + out.bytes, n - out.bytes);
        if (w > 0) {
            out.bytes += static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const Wait ready = WaitUntilNs(fd, POLLOUT, deadline_ns);
            if (ready == Wait::Ready) {
                continue;
            }
            if (ready == Wait::TimedOut) {
                errno = ETIMEDOUT;
            } else {
                errno = EIO;  // the line is gone
                out.line_lost = true;
            }
            break;
        }
        out.line_lost = true;
        break;
    }
    return out;
}

}  // namespace Orvane::HardwareAPI::Platform
