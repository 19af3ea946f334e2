// The process that sends the arm its zero when the program itself no longer can: it holds a
// duplicate of the port and one end of a socket on the program, and writes the zero-force
// request once that end closes without a word (the program died in any way, SIGKILL and
// _exit included). Where the system has no such helper, starting one succeeds with no
// process, and only the loops' own stop paths and the signal guard zero the arm.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/PortTypes.h"

namespace Orvane::HardwareAPI::Platform {

struct ZeroGuardProcess {
    int channel = -1;       // the program's end of the socket; -1: no helper
    std::int64_t pid = -1;  // the helper, a child of this process until reaped
};

// Starts the helper on `port` and waits until it is watching; with `realtime` it asks for
// the loop thread's scheduling where the system grants it. False when it could not be
// started, with the reason in `why` (size bytes).
bool StartZeroGuard(IO::PortHandle port, bool realtime, ZeroGuardProcess& guard, char* why,
                    std::size_t size);

// The program's own zero went out on the port: the helper exits without writing.
// Async-signal-safe; the channel may already be closed on the helper's side.
void TellZeroSent(int channel);

// Sends the helper away without writing and waits (bounded) until it has exited, so that
// no copy of the port outlives the loop; the channel is closed.
void EndZeroGuard(ZeroGuardProcess& guard);

}  // namespace Orvane::HardwareAPI::Platform
