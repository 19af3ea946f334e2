// Leaves no arm pushing when the process ends by a signal: the ports of running loops are
// registered here with the request that stops their arm, and a handler for the signals that
// end a process writes each of them with async-signal-safe calls, then hands the signal on
// to the default action, or to the program's handler for a fault. A signal the program
// handles itself is handed on untouched: the program may go on, and its loops with it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/PortTypes.h"

namespace Orvane::HardwareAPI::Platform {

inline constexpr std::size_t kMaxGuardedPorts = 16;
inline constexpr std::size_t kMaxGuardMessage = 16;

// Registers a port; the message (at most kMaxGuardMessage bytes) is copied. Installs the
// handlers on first use. `zero_guard` is the channel to the port's zero guard process (-1:
// none), told when the handler has sent the zero and closed in forked children. A slot
// number, or -1 when every slot is taken.
int GuardPort(IO::PortHandle port, const std::uint8_t* message, std::size_t size,
              int zero_guard = -1);
// The loop's own zero went out on the slot's port: its zero guard process need not write.
void NoteZeroSent(int slot);
// Forgets the slot; the handler writes nothing more to that port.
void UnguardPort(int slot);

// A loop's write to a guarded port goes between these. Once a signal is ending the process,
// BeginGuardedWrite returns false (write nothing) and the handler waits for writes in
// flight before it sends its zero, so the zero is the last message the arm gets.
bool BeginGuardedWrite();
void EndGuardedWrite();

}  // namespace Orvane::HardwareAPI::Platform
