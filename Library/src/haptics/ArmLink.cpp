#include "haptics/ArmLink.h"

#include <cstdio>

#include "platform/Platform.h"
#include "platform/Realtime.h"
#include "platform/ZeroOnSignal.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

namespace Arm = Protocol::Arm;

constexpr std::int64_t kNsPerMs = 1'000'000;
// As an interval time-out with no total: deliver what is there and return at once (where
// the port's time-outs are the system's, all zeros would mean "wait for every byte").
constexpr std::uint32_t kAtOnce = UINT32_MAX;

// The port's time-outs count whole milliseconds; rounded down, so that no wait outlasts the
// deadline by more than the port's own wake-up delay.
std::uint32_t MsUntil(std::int64_t deadline_ns) {
    const std::int64_t left = deadline_ns - Platform::MonotonicNs();
    return left > 0 ? static_cast<std::uint32_t>(left / kNsPerMs) : 0;
}

}  // namespace

void ZeroForceRequest(std::uint8_t (&request)[Arm::kVectorRequestSize]) {
    constexpr float kZero[3] = {0.0f, 0.0f, 0.0f};
    Codec::Arm::EncodeForce(request, kZero);
}

bool ArmLink::Write(const std::uint8_t* bytes, std::size_t n, std::int64_t deadline_ns) const {
    // A signal ending the process sends the arm its zero; nothing may follow it.
    if (!Platform::BeginGuardedWrite()) {
        return false;
    }
    IO::CommTimeouts t;
    t.WriteTotalTimeoutConstant = MsUntil(deadline_ns) + 1;  // 0 would mean no bound
    const bool written = Platform::ApplyTimeouts(port_, t) &&
                         Platform::WritePort(port_, reinterpret_cast<const char*>(bytes), n, t);
    Platform::EndGuardedWrite();
    return written;
}

std::size_t ArmLink::Read(std::uint8_t* into, std::size_t n, std::int64_t deadline_ns,
                          bool& line_lost) const {
    std::size_t got = 0;
    line_lost = false;
    while (got < n) {
        IO::CommTimeouts t;
        t.ReadTotalTimeoutConstant = MsUntil(deadline_ns);
        t.ReadIntervalTimeout = t.ReadTotalTimeoutConstant == 0 ? kAtOnce : 0;
        const std::int64_t began = Platform::MonotonicNs();
        const std::ptrdiff_t r =
            Platform::ApplyTimeouts(port_, t)
                ? Platform::ReadPort(port_, reinterpret_cast<char*>(into + got), n - got, t, true)
                : -1;
        if (r < 0) {
            line_lost = true;
            break;
        }
        got += static_cast<std::size_t>(r);
        const std::int64_t now = Platform::MonotonicNs();
        if (got == n || now >= deadline_ns) {
            break;
        }
        // A read comes back short at its time-out, or sooner when the line ended. The part
        // of a millisecond the port's time-out cannot express is waited out by reading on.
        if (now - began < static_cast<std::int64_t>(t.ReadTotalTimeoutConstant) * kNsPerMs) {
            line_lost = true;
            break;
        }
    }
    return got;
}

ExchangeResult ArmLink::Exchange(const float (&force)[3]) const {
    ExchangeResult out;
    std::uint8_t request[Arm::kVectorRequestSize];
    Codec::Arm::EncodeForce(request, force);
    const std::int64_t start = Platform::MonotonicNs();
    const std::int64_t deadline = start + timeout_ns_;
    std::uint8_t reply[kStateReplySize];
    bool lost = false;
    if (!Write(request, sizeof request, deadline)) {
        // Refused before its time was up: the line is gone (a hang-up), not stalled.
        out.outcome = Platform::MonotonicNs() < deadline ? ExchangeOutcome::LineLost
                                                         : ExchangeOutcome::WriteFailed;
    } else if ((out.bytes = Read(reply, 1, deadline, lost)) == 0) {
        out.outcome = lost ? ExchangeOutcome::LineLost : ExchangeOutcome::TimedOut;
    } else if ((out.header = reply[0]) != Arm::kEndEffectorState) {
        out.outcome = ExchangeOutcome::WrongHeader;
    } else {
        out.bytes += Read(reply + 1, Arm::kStatePayload, deadline, lost);
        if (out.bytes < kStateReplySize) {
            out.outcome = lost ? ExchangeOutcome::LineLost : ExchangeOutcome::TimedOut;
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
    return Write(request, sizeof request, Platform::MonotonicNs() + timeout_ns_);
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
