// Serial ports as POSIX terminal devices: exclusive open, raw mode at 115200 8N1, and
// reads and writes bounded by the port's time-outs on a monotonic clock.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <pthread.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/Platform.h"
#include "platform/Realtime.h"
#include "posix/LockFiles.h"
#include "posix/PortHolders.h"

namespace Orvane::HardwareAPI::Platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int Fd(PortHandle port) {
    return static_cast<int>(port);
}

// The longest bound a read or write works with: far beyond any transfer, and small enough
// that the clock can add it without overflowing.
constexpr std::uint64_t kMaxBoundMs = std::uint64_t{1} << 40;  // about 35 years

// multiplier * n + constant milliseconds, saturated at kMaxBoundMs.
milliseconds Bound(std::uint64_t multiplier, std::size_t n, std::uint64_t constant) {
    const std::uint64_t per_byte =
        multiplier != 0 && n > kMaxBoundMs / multiplier ? kMaxBoundMs : multiplier * n;
    return milliseconds(std::min(kMaxBoundMs, per_byte + constant));
}

// Milliseconds from `now` until `deadline`, rounded up so a wait never ends early, and at
// most what one poll can wait (a negative time-out would make poll wait for ever).
int RemainingMs(Clock::time_point now, Clock::time_point deadline) {
    const auto left = deadline - now;
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// Output queued at close: 1 ms per byte (about eleven times what 115200 baud needs) and
// 50 ms more, at most 1 s, checked every millisecond.
constexpr std::uint64_t kDrainPerByteMs = 1;
constexpr std::uint64_t kDrainMs = 50;
constexpr milliseconds kMaxDrain{1000};
constexpr milliseconds kDrainPoll{1};

// What the close needs to know about a port it did not open itself.
struct PortRecord {
    pid_t opener = 0;
    bool has_settings = false;
    termios settings{};  // the line's settings before this process changed them
};

// The open ports of this process, by descriptor. Kept consistent across a fork: a child
// may close the copies it inherited.
class OpenPorts {
public:
    static OpenPorts& Get() {
        static OpenPorts ports;
        return ports;
    }
    void Add(int fd, const PortRecord& record) {
        const std::lock_guard<std::mutex> hold(mutex_);
        records_[fd] = record;
    }
    bool Take(int fd, PortRecord& record) {
        const std::lock_guard<std::mutex> hold(mutex_);
        const auto it = records_.find(fd);
        if (it == records_.end()) {
            return false;
        }
        record = it->second;
        records_.erase(it);
        return true;
    }

private:
    OpenPorts() {
        pthread_atfork([] { Get().mutex_.lock(); }, [] { Get().mutex_.unlock(); },
                       [] { Get().mutex_.unlock(); });
    }
    std::mutex mutex_;
    std::map<int, PortRecord> records_;
};

thread_local std::string t_refusal;
thread_local std::optional<Clock::time_point> t_open_deadline;

enum class Wait { Ready, TimedOut, HungUp };

// Waits once for `events` on fd until `deadline` (`now` is the caller's reading of the
// clock); only EINTR restarts the wait, so a silent line costs one wait, not a loop.
Wait WaitFor(int fd, short events, Clock::time_point now, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int timeout = RemainingMs(now, deadline);
        const int r = poll(&p, 1, timeout);
        if (r < 0) {
            if (errno == EINTR) {
                now = Clock::now();
                continue;
            }
            return Wait::HungUp;
        }
        if (r == 0) {
            if (timeout == INT_MAX) {
                now = Clock::now();  // one poll could not wait the whole way
                continue;
            }
            return Wait::TimedOut;
        }
        if (p.revents & events) {
            return Wait::Ready;
        }
        return Wait::HungUp;  // POLLHUP, POLLERR or POLLNVAL without data
    }
}

// What is still queued for the line at close gets the time it needs at the port's speed,
// with room to spare; a line that cannot take it (a stalled device, flow control on the far
// side) loses the rest, so that close never waits for it. A port whose queue is empty, or
// that has none (a pseudo-terminal), is closed at once with nothing discarded.
void DrainOrDrop(int fd) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) {
        return;
    }
    const auto deadline =
        Clock::now() +
        std::min(kMaxDrain, Bound(kDrainPerByteMs, static_cast<std::size_t>(queued), kDrainMs));
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(kDrainPoll);
        if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) {
            return;
        }
    }
    tcflush(fd, TCOFLUSH);
}

}  // namespace

PortHandle OpenPort(const std::string& name, OpenOutcome& outcome) {
    t_refusal.clear();
    const std::string path = !name.empty() && name[0] == '/' ? name : "/dev/" + name;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        outcome = errno == ENOENT ? OpenOutcome::NotFound : OpenOutcome::Failed;
        return IO::kInvalidPort;
    }
    const auto refuse = [&](int error) {
        ReleaseLockFile(fd);
        close(fd);
        errno = error;
        outcome = OpenOutcome::Failed;
        return IO::kInvalidPort;
    };
    // The claims come first and in this order, each atomic: the flock (which also keeps a
    // second open out within this process and for root), the lock file, and only then the
    // search for other holders, so that of two openers at the same moment one wins.
    // Another program's port is given back before anything is set or sent on it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // Held by another program of this library: busy, as any held port.
        return refuse(errno == EWOULDBLOCK ? EBUSY : errno);
    }
    // Serial lines only: pseudo-terminal numbers come back with every new terminal, so a
    // file left by a program that never closed its port would later refuse a stranger's.
    if (!IsPseudoTerminal(fd)) {
        const LockResult lock = TakeLockFile(fd);
        if (lock.outcome == LockOutcome::Held) {
            t_refusal = "its lock file " + lock.text;
            return refuse(EBUSY);
        }
        if (lock.outcome == LockOutcome::NotTaken && !lock.text.empty()) {
            t_refusal = "no lock file: " + lock.text;
        }
    }
    switch (HoldersOf(fd, t_open_deadline.value_or(Clock::time_point::max()))) {
        case Holders::None:
            break;
        case Holders::Some:
            return refuse(EBUSY);
        case Holders::Unchecked:
            t_refusal = "other programs' use of it could not be checked in time";
            return refuse(ETIMEDOUT);
    }
    const int error = errno;
    PortRecord record;
    record.opener = getpid();
    record.has_settings = tcgetattr(fd, &record.settings) == 0;
    OpenPorts::Get().Add(fd, record);
    ioctl(fd, TIOCEXCL);  // refused by non-terminals; the settings step reports those
    errno = error;
    outcome = OpenOutcome::Opened;
    return fd;
}

std::string LastRefusal() {
    return t_refusal;
}

void BoundOpens(std::optional<Clock::time_point> deadline) {
    t_open_deadline = deadline;
}

LineOutcome ConfigureLine(PortHandle port) {
    termios settings{};
    if (tcgetattr(Fd(port), &settings) != 0) {
        return LineOutcome::SettingsUnreadable;
    }
    // Raw mode: the wire is binary, and the defaults would rewrite 0x0A, 0x0D, 0x11, 0x13.
    cfmakeraw(&settings);
    // No flow control either way: a port left with CTS low or after an XOFF would hold
    // writes, and the close behind them, indefinitely.
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
#ifdef CRTSCTS
    settings.c_cflag &= ~CRTSCTS;
#endif
    settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    // With VMIN 1 a non-blocking read of an empty line fails with EAGAIN; VMIN 0 would
    // return 0, which a read cannot tell from end of file.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, B115200) != 0 || cfsetospeed(&settings, B115200) != 0 ||
        tcsetattr(Fd(port), TCSANOW, &settings) != 0) {
        return LineOutcome::SettingsRejected;
    }
    return LineOutcome::Configured;
}

// The time-outs live in the caller's record and are enforced by ReadPort and WritePort.
bool ApplyTimeouts(PortHandle, const CommTimeouts&) {
    return true;
}

void RaiseDtr(PortHandle port) {
    const int error = errno;
    int bits = TIOCM_DTR;
    ioctl(Fd(port), TIOCMBIS, &bits);  // pseudo-terminals refuse it
    errno = error;
}

// The clock is read only when a wait is due: a read whose bytes are already there costs
// no clock reading, and the bounds start at the first wait. Before that first wait only
// non-blocking system calls have run, so the bounds start microseconds late at most.
std::ptrdiff_t ReadPort(PortHandle port, char* destination, std::size_t n,
                        const CommTimeouts& timeouts, bool reply_pending) {
    const int fd = Fd(port);
    const milliseconds total =
        Bound(timeouts.ReadTotalTimeoutMultiplier, n, timeouts.ReadTotalTimeoutConstant);
    const milliseconds interval(timeouts.ReadIntervalTimeout);
    Clock::time_point total_deadline{};
    bool clock_started = false;
    std::size_t got = 0;
    bool wait_first = reply_pending;
    while (got < n) {
        bool waited = false;
        if (wait_first) {
            const auto now = Clock::now();
            if (!clock_started) {
                total_deadline = now + total;
                clock_started = true;
            }
            auto deadline = total_deadline;
            if (got > 0 && interval.count() > 0 && now + interval < deadline) {
                deadline = now + interval;
            }
            if (WaitFor(fd, POLLIN, now, deadline) != Wait::Ready) {
                break;  // time-out, or the far end is gone: deliver what arrived
            }
            waited = true;
        }
        const ssize_t r = read(fd, destination + got, n - got);
        if (r > 0) {
            got += static_cast<std::size_t>(r);
            wait_first = true;  // the rest is usually still on its way
            continue;
        }
        if (r < 0 && errno == EINTR) {
            continue;
        }
        // A raw terminal with no byte waiting answers 0 (or EAGAIN): wait for the line.
        // Only a 0 after the line was reported readable is an end of file (a hang-up).
        if ((r == 0 && !waited) || (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) {
            wait_first = true;
            continue;
        }
        break;  // end of file, or an I/O error such as EIO after a hang-up
    }
    return static_cast<std::ptrdiff_t>(got);
}

bool WritePort(PortHandle port, const char* source, std::size_t n, const CommTimeouts& timeouts) {
    const int fd = Fd(port);
    std::uint64_t multiplier = timeouts.WriteTotalTimeoutMultiplier;
    std::uint64_t constant = timeouts.WriteTotalTimeoutConstant;
    if (multiplier == 0 && constant == 0) {
        multiplier = constant = 8;  // never block without a bound
    }
    // As for reads, the clock is read only once the line is full and a wait is due.
    Clock::time_point deadline{};
    bool clock_started = false;
    std::size_t sent = 0;
    while (sent < n) {
        const ssize_t w = write(fd, source + sent, n - sent);
        if (w > 0) {
            sent += static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto now = Clock::now();
            if (!clock_started) {
                deadline = now + Bound(multiplier, n, constant);
                clock_started = true;
            }
            const Wait ready = WaitFor(fd, POLLOUT, now, deadline);
            if (ready != Wait::Ready) {
                if (errno == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
                    errno = ready == Wait::TimedOut ? ETIMEDOUT : EIO;  // EIO: the line is gone
                }
                return false;
            }
            continue;
        }
        return false;
    }
    return true;
}

void ClosePort(PortHandle port) {
    const int error = errno;
    const int fd = Fd(port);
    PortRecord record;
    const bool known = OpenPorts::Get().Take(fd, record);
    if (known && record.opener != getpid()) {
        close(fd);  // the opener's line, settings and lock file stay as they are
        errno = error;
        return;
    }
    DrainOrDrop(fd);
    if (known && record.has_settings) {
        tcsetattr(fd, TCSANOW, &record.settings);  // the line as the open found it
    }
    ReleaseLockFile(fd);
    ioctl(fd, TIOCNXCL);  // give up exclusivity before the descriptor goes
    close(fd);
    errno = error;
}

}  // namespace Orvane::HardwareAPI::Platform
