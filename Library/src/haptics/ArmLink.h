// The servo loop's own exchange with the arm: one force request out, one state reply in,
// straight on the port with a hard bound. Header and payload together end by the reply
// time-out after the request went out, whatever arrives: a line that trickles bytes or
// chatters cannot stretch a cycle. A wrong header ends the exchange at once (no attempt to
// find the next reply in the bytes: anything else on the line means the arm is not the
// one the loop is talking to, or the line corrupts data).
#pragma once

#include <cstddef>
#include <cstdint>

#include "Orvane/HardwareAPI/Protocol.h"
#include "codec/ArmCodec.h"
#include "transport/Port.h"

namespace Orvane::HardwareAPI::Haptics {

inline constexpr std::size_t kStateReplySize = Codec::Arm::kStateSize;

// The zero-force request, ready for the wire.
void ZeroForceRequest(std::uint8_t (&request)[Protocol::Arm::kVectorRequestSize]);

enum class ExchangeOutcome {
    Replied,
    WriteFailed,  // the request did not go out within the bound
    TimedOut,     // the reply was not complete within the bound
    WrongHeader,  // the first byte back was not a state reply's header
    LineLost,     // the line ended (hang-up, unplugged, port error) before the reply did
};

struct ExchangeResult {
    ExchangeOutcome outcome = ExchangeOutcome::Replied;
    std::size_t bytes = 0;        // reply bytes that arrived, header included
    std::uint8_t header = 0;      // the first of them, when one came
    std::int64_t elapsed_ns = 0;  // request written to the end of the exchange
    float position[3] = {};
    float velocity[3] = {};
};

// Says what went wrong, for a fault message; empty text for a reply.
void Describe(const ExchangeResult& result, double timeout_s, char* text, std::size_t size);

class ArmLink {
public:
    ArmLink(const Transport::Port& port, std::int64_t reply_timeout_ns)
        : port_(port), timeout_ns_(reply_timeout_ns) {}

    // Sends `force` and reads the state reply.
    ExchangeResult Exchange(const float (&force)[3]) const;

    // The last message of a loop: zero force, bounded by the reply time-out; the reply (if
    // any) is not waited for.
    bool SendZero() const;

private:
    Transport::Transfer Write(Codec::ConstBytes bytes, Transport::Deadline deadline) const;

    const Transport::Port& port_;
    std::int64_t timeout_ns_;
};

}  // namespace Orvane::HardwareAPI::Haptics
