#include "haptics/ArmLink.h"

#include <cstdio>

#include "platform/Realtime.h"
#include "platform/ZeroOnSignal.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

namespace Arm = Protocol::Arm;

}  // namespace

void ZeroForceRequest(std::uint8_t (&request)[Arm::kVectorRequestSize]) {
    constexpr float kZero[3] = {0.0f, 0.0f, 0.0f};
    Codec::Arm::EncodeForce(request, kZero);
}

Transport::Transfer ArmLink::Write(Codec::ConstBytes bytes, Transport::Deadline deadline) const {
    // A signal ending the process sends the arm its zero; nothing may follow it.
    if (!Platform::BeginGuardedWrite()) {
        return {};
    }
    const Transport::Transfer sent = port_.Write(bytes, deadline);
    Platform::EndGuardedWrite();
    return sent;
}

ExchangeResult ArmLink::Exchange(const float (&force)[3]) const {
    ExchangeResult out;
    std::uint8_t request[Arm::kVectorRequestSize];
    Codec::Arm::EncodeForce(request, force);
    const std::int64_t start = Platform::MonotonicNs();
    const Transport::Deadline deadline = start + timeout_ns_;
    std::uint8_t reply[kStateReplySize];
    const Transport::Transfer sent = Write(request, deadline);
    Transport::Transfer got;
    if (sent.bytes < sizeof request) {
        out.outcome = sent.error == ErrorKind::DeviceLost ? ExchangeOutcome::LineLost
                                                          : ExchangeOutcome::WriteFailed;
    } else if ((got = port_.Read(Codec::Bytes(reply, 1), deadline)).bytes == 0) {
        out.outcome = got.error == ErrorKind::DeviceLost ? ExchangeOutcome::LineLost
                                                         : ExchangeOutcome::TimedOut;
    } else if ((out.header = reply[0]) != Arm::kEndEffectorState) {
        out.bytes = 1;
        out.outcome = ExchangeOutcome::WrongHeader;
    } else {
        got = port_.Read(Codec::Bytes(reply).subspan(1), deadline);
        out.bytes = 1 + got.bytes;
        if (out.bytes < kStateReplySize) {
            out.outcome = got.error == ErrorKind::DeviceLost ? ExchangeOutcome::LineLost
                                                             : ExchangeOutcome::TimedOut;
        } else {
            Codec::Arm::DecodeState(Codec::ConstBytes(reply).subspan(1), out.position,
                                    out.velocity);
        }
    }
    out.elapsed_ns = Platform::MonotonicNs() - start;
    return out;
}

bool ArmLink::SendZero() const {
    std::uint8_t request[Arm::kVectorRequestSize];
    ZeroForceRequest(request);
    return Write(request, Transport::In(timeout_ns_)).bytes == sizeof request;
}

void Describe(const ExchangeResult& r, double timeout_s, char* text, std::size_t size) {
    const double ms = static_cast<double>(r.elapsed_ns) / 1e6;
    switch (r.outcome) {
        case ExchangeOutcome::Replied:
            std::snprintf(text, size, "%s", "");
            break;
        case ExchangeOutcome::WriteFailed:
            std::snprintf(text, size,
                          "the force request could not be written within %.0f ms (the line "
                          "is stalled or gone)",
                          timeout_s * 1e3);
            break;
        case ExchangeOutcome::TimedOut:
            std::snprintf(text, size,
                          "the arm stopped answering: %zu of the %zu bytes of a state reply "
                          "within %.0f ms",
                          r.bytes, kStateReplySize, timeout_s * 1e3);
            break;
        case ExchangeOutcome::WrongHeader:
            std::snprintf(text, size,
                          "the arm's reply began with header 0x%02X where a state reply "
                          "(0x%02X) belongs, after %.1f ms",
                          static_cast<unsigned>(r.header),
                          static_cast<unsigned>(Arm::kEndEffectorState), ms);
            break;
        case ExchangeOutcome::LineLost:
            std::snprintf(text, size,
                          "the line to the arm was lost after %.1f ms, %zu of the %zu bytes of "
                          "a state reply in (unplugged, or the port closed?)",
                          ms, r.bytes, kStateReplySize);
            break;
    }
}

}  // namespace Orvane::HardwareAPI::Haptics
