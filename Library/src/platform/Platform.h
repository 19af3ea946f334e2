// The small interface each platform implements (posix/, win32/). Everything above it
// (stream buffer logic, framing, listing, detection) is shared.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/PortTypes.h"

namespace Orvane::HardwareAPI::Platform {

using IO::CommTimeouts;
using IO::PortHandle;

enum class OpenOutcome { Opened, NotFound, Failed };
enum class LineOutcome { Configured, SettingsUnreadable, SettingsRejected };

// Opens the named port exclusively for reading and writing; kInvalidPort on failure,
// with outcome NotFound when the port does not exist.
PortHandle OpenPort(const std::string& name, OpenOutcome& outcome);

// What the calling thread's last OpenPort has to say beyond its error number: who holds
// the port it refused, when that is known, or why the port it opened has no lock file
// ("" otherwise); for the open's error or warning line.
std::string LastRefusal();

// Opens on the calling thread end their look for other holders of the port by `deadline`
// (none: unbounded); a look that cannot end by then refuses the port with ETIMEDOUT.
void BoundOpens(std::optional<std::chrono::steady_clock::time_point> deadline);

// Reads the line settings, then applies 115200 baud, 8 data bits, no parity, one stop bit.
LineOutcome ConfigureLine(PortHandle port);

// Puts the time-outs in force for the next reads and writes.
bool ApplyTimeouts(PortHandle port, const CommTimeouts& timeouts);

// Raises DTR; the result is not reported (some ports refuse it).
void RaiseDtr(PortHandle port);

// Reads up to n bytes under the time-outs: ends when n bytes arrived, when the total
// time-out passed, or when the interval time-out passed after a byte. Bytes delivered
// (0..n), or -1 on a port error. A hang-up ends the read at once with what arrived.
// `reply_pending` says a request went out since bytes last arrived, so the platform may
// wait for the line before its first read attempt.
std::ptrdiff_t ReadPort(PortHandle port, char* destination, std::size_t n,
                        const CommTimeouts& timeouts, bool reply_pending);

// Writes all n bytes within the write time-outs; false when fewer went out.
bool WritePort(PortHandle port, const char* source, std::size_t n, const CommTimeouts& timeouts);

// The library's own paths read and write by a deadline on the monotonic clock
// (MonotonicNs) instead of under time-outs, and allocate nothing.
struct Transferred {
    std::size_t bytes = 0;
    bool line_lost = false;  // a hang-up or a port error ended the transfer
};

// Reads until n bytes arrived or the clock reads deadline_ns, whichever comes first; a
// deadline already past takes what is waiting without a wait.
Transferred ReadBy(PortHandle port, char* destination, std::size_t n, std::int64_t deadline_ns);

// Writes until all n bytes went out or the clock reads deadline_ns.
Transferred WriteBy(PortHandle port, const char* source, std::size_t n, std::int64_t deadline_ns);

// Lets the port's queued output drain (or drops it), puts back the line settings found at
// the open and closes it. In a process other than the one that opened it (a forked child
// closing its inherited copy) only the descriptor is released: the line stays as its
// opener has it.
void ClosePort(PortHandle port);

// The calling thread's last error number.
std::uint32_t LastError();

// The system's text for an error number into buffer (size bytes); its length, or 0 when
// the system has no text for it.
std::size_t ErrorText(std::uint32_t code, char* buffer, std::size_t size);

}  // namespace Orvane::HardwareAPI::Platform
