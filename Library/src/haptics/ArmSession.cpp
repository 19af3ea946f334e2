#include "haptics/ArmSession.h"

#include <cmath>
#include <cstdio>

#include "ErrorLine.h"
#include "Orvane/HardwareAPI/Varnix3.h"
#include "SerialBuffer.h"
#include "platform/Platform.h"
#include "platform/ZeroOnSignal.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

constexpr double kNsPerSecond = 1e9;

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
void DropStaleInput(IO::PortHandle port) {
    // A bound, so a device that never stops sending cannot hold the open here.
    constexpr int kMaxReads = 16;
    char discard[Protocol::kBufferSize];
    // What is there, without waiting; writes keep the stream's bounds of 8 ms a byte and
    // 8 ms more, which the wake-up after this relies on where the port holds its time-outs.
    IO::CommTimeouts at_once{UINT32_MAX, 0, 0, 8, 8};
    if (!Platform::ApplyTimeouts(port, at_once)) {
        return;
    }
    for (int i = 0;
         i < kMaxReads && Platform::ReadPort(port, discard, sizeof discard, at_once, false) > 0;
         ++i) {
    }
}

}  // namespace

Error ArmSession::Open(const std::string& port, double reply_timeout_s, DeviceInfo& info,
                       LoopState& first) {
    const QuietErrorLines quiet;
    stream_ = std::make_unique<IO::SerialStream>(port.c_str(), true);
    if (stream_->Buffer() == nullptr || !stream_->Buffer()->IsOpen()) {
        char why[120] = "";
        if (stream_->OpenError() != 0) {
            Platform::ErrorText(stream_->OpenError(), why, sizeof why);
        }
        Close();
        return Failure(ErrorKind::PortUnavailable, "cannot open port '%s'%s%s", port.c_str(),
                       why[0] != '\0' ? ": " : "", why);
    }
    DropStaleInput(stream_->Buffer()->NativeHandle());
    Devices::Varnix3 arm(*stream_);
    // The wake-up keeps the stream's usual time-out: a device may take a while to answer
    // its first message after the port opened.
    arm.SendDeviceWakeup();
    if (arm.ReceiveDeviceInfo(info.device_id, info.model_number, info.hardware_version,
                              info.firmware_version, info.uuid) < 0) {
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
    link_.emplace(stream_->Buffer()->NativeHandle(), std::llround(reply_timeout_s * kNsPerSecond));

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
    const IO::PortHandle port = stream_->Buffer()->NativeHandle();
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
    stream_.reset();
}

}  // namespace Orvane::HardwareAPI::Haptics
