#include "haptics/ArmSession.h"

#include <cmath>
#include <cstdio>

#include "codec/ArmCodec.h"
#include "platform/Platform.h"
#include "platform/ZeroOnSignal.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

constexpr double kNsPerSecond = 1e9;
constexpr std::int64_t kWakeupNs = 1'000'000'000;

template <typename... Args>
Error Failure(ErrorKind kind, const char* format, Args... args) {
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return {kind, text};
}

Vec3 ToVec3(const float v[3]) {
    return {v[0], v[1], v[2]};
}

// Bytes already waiting when the port opens belong to an earlier conversation (the reply to
// a previous loop's last request, or to a request it gave up on); they would be read as the
// answer to the wake-up.
void DropStaleInput(const Transport::Port& port) {
    // A bound, so a device that never stops sending cannot hold the open here.
    constexpr int kMaxReads = 16;
    std::uint8_t discard[Protocol::kBufferSize];
    for (int i = 0; i < kMaxReads && port.Read(discard, Transport::In(0)).bytes > 0; ++i) {
    }
}

// The arm's device information, asked for with a wake-up. A device may take a while to
// answer its first message after the port opened: a second for the reply to begin, and a
// second more for its rest. False for no answer, or one that is not device information.
bool WakeArm(const Transport::Port& port, DeviceInfo& info) {
    std::uint8_t request[Protocol::kBufferSize];
    const std::size_t n = Codec::Arm::EncodeWakeup(request);
    if (port.Write(Codec::ConstBytes(request, n), Transport::In(kWakeupNs)).bytes != n) {
        return false;
    }
    std::uint8_t reply[Codec::Arm::kDeviceInfoSize];
    if (port.Read(Codec::Bytes(reply, 1), Transport::In(kWakeupNs)).bytes != 1 ||
        reply[0] != Protocol::Arm::kDeviceInfo) {
        return false;
    }
    const Codec::Bytes payload = Codec::Bytes(reply).subspan(1);
    return port.Read(payload, Transport::In(kWakeupNs)).bytes == payload.size() &&
           Codec::Arm::DecodeDeviceInfo(payload, info);
}

}  // namespace

Error ArmSession::Open(const std::string& port, double reply_timeout_s, DeviceInfo& info,
                       LoopState& first) {
    if (const Error opened = port_.Open(port)) {
        const std::string& why = opened.message;
        Close();
        return Failure(ErrorKind::PortUnavailable, "cannot open port '%s'%s%s", port.c_str(),
                       why.empty() ? "" : ": ", why.c_str());
    }
    DropStaleInput(port_);
    if (!WakeArm(port_, info)) {
        Close();
        return Failure(ErrorKind::NoDevice,
                       "no device information from '%s': no arm answered the wake-up",
                       port.c_str());
    }
    if (info.model_number != Protocol::Arm::kArmModelNumber) {
        Close();
        return Failure(ErrorKind::NoDevice, "the device on '%s' is not an arm (model number %u)",
                       port.c_str(), static_cast<unsigned>(info.model_number));
    }
    link_.emplace(port_, std::llround(reply_timeout_s * kNsPerSecond));

    // Before the loop exists, state() already tells where the arm is: a zero-force request
    // and its state reply. An arm that does not answer it could not run a loop either.
    const ExchangeResult r = link_->Exchange({0.0f, 0.0f, 0.0f});
    if (r.outcome != ExchangeOutcome::Replied) {
        char why[200];
        Describe(r, reply_timeout_s, why, sizeof why);
        Close();
        return Failure(ErrorKind::NoDevice, "the arm on '%s' sent no state: %s", port.c_str(), why);
    }
    first.position = ToVec3(r.position);
    first.velocity = ToVec3(r.velocity);
    return {};
}

Error ArmSession::Guard() {
    const IO::PortHandle port = port_.Native();
    // A process beside this one watches for its death, and the signal guard sends the zero
    // at once for the signals it can. The helper asks for real-time scheduling even for a
    // loop that does not: it runs only to write that zero or to exit at a stop, and neither
    // should wait behind a busy machine.
    char why[200];
    if (!Platform::StartZeroGuard(port, true, zero_guard_, why, sizeof why)) {
        return Failure(ErrorKind::NotRunning, "the loop cannot start: %s", why);
    }
    std::uint8_t zero[Protocol::Arm::kVectorRequestSize];
    ZeroForceRequest(zero);
    guard_slot_ = Platform::GuardPort(port, zero, sizeof zero, zero_guard_.channel);
    return {};
}

// Also after a fault: the arm is never left pushing when the line recovers.
bool ArmSession::SendFinalZero(bool read_reply, LoopState& last) {
    if (!link_) {
        return false;
    }
    if (!read_reply) {
        if (link_->SendZero()) {
            Platform::NoteZeroSent(guard_slot_);
        }
        return false;
    }
    const ExchangeResult r = link_->Exchange({0.0f, 0.0f, 0.0f});
    // Once the request is out, the zero guard process has nothing left to do.
    if (r.outcome != ExchangeOutcome::WriteFailed) {
        Platform::NoteZeroSent(guard_slot_);
    }
    if (r.outcome != ExchangeOutcome::Replied) {
        return false;
    }
    last.position = ToVec3(r.position);
    last.velocity = ToVec3(r.velocity);
    last.force = {};
    return true;
}

void ArmSession::Close() {
    if (guard_slot_ >= 0) {
        Platform::UnguardPort(guard_slot_);
        guard_slot_ = -1;
    }
    // Before the port closes: the helper's copy of it must not keep it held.
    Platform::EndZeroGuard(zero_guard_);
    link_.reset();
    port_.Close();
}

}  // namespace Orvane::HardwareAPI::Haptics
