// The port the library's own real-time paths (the servo loop's arm, the handle listener)
// talk through: every read and write ends by a deadline on the monotonic clock, whatever
// the line does, and a line that ends says so instead of passing for a silent one. Reads
// and writes allocate nothing. The stream classes keep their own time-outs (SerialStream).
#pragma once

#include <cstdint>
#include <string>

#include "Orvane/HardwareAPI/Error.h"
#include "codec/Bytes.h"
#include "platform/PortTypes.h"

namespace Orvane::HardwareAPI::Transport {

// A reading of Platform::MonotonicNs, in nanoseconds.
using Deadline = std::int64_t;

// The deadline `ns` nanoseconds from now.
Deadline In(std::int64_t ns);

struct Transfer {
    std::size_t bytes = 0;
    // DeviceLost when the line ended (a hang-up, an unplugged device, a port error);
    // None when the transfer only ran out of time or was complete.
    ErrorKind error = ErrorKind::None;
};

class Port {
public:
    Port() = default;
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    ~Port() { Close(); }

    // Opens `name` exclusively (the platform's holder checks and lock file included) at
    // 115200 8N1 with DTR raised. A failure is PortUnavailable with the system's text for
    // its error number as the message ("" when the system has none).
    Error Open(const std::string& name);

    // What arrived by `deadline`, at most into.size() bytes: it returns as soon as the span
    // is full. A deadline already past takes what is waiting without a wait.
    Transfer Read(Codec::Bytes into, Deadline deadline) const;
    // Writes the bytes by `deadline`; fewer than all of them with no error: the line was
    // still full when the time was up.
    Transfer Write(Codec::ConstBytes bytes, Deadline deadline) const;

    // Drains or drops what is queued, puts the line settings back and closes (see
    // Platform::ClosePort); a closed port is left as it is.
    void Close();

    bool IsOpen() const { return handle_ != IO::kInvalidPort; }
    // For the zero guards, which write on the port themselves when the program ends.
    IO::PortHandle Native() const { return handle_; }
    // The error number of the open step that failed; 0 when none did.
    std::uint32_t OpenError() const { return open_error_; }

private:
    IO::PortHandle handle_ = IO::kInvalidPort;
    std::uint32_t open_error_ = 0;
};

// An opened port without a lock file because the lock folder cannot be written: said once
// per process (by the stream classes and this port alike), since every open of every port
// would say the same.
void WarnNoLockFile(const std::string& port, const std::string& why);

}  // namespace Orvane::HardwareAPI::Transport
