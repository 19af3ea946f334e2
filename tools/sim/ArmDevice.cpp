#include "ArmDevice.h"

#include <chrono>

#include "Orvane/HardwareAPI/Protocol.h"
#include "Trace.h"

namespace Orvane::Sim {

namespace P = Orvane::HardwareAPI::Protocol;
namespace Arm = Orvane::HardwareAPI::Protocol::Arm;

std::size_t ArmDevice::RequestSize(std::uint8_t header) {
    switch (header) {
        case Arm::kWakeup:
        case Arm::kCurrentRequest:
            return Arm::kBareRequestSize;
        case Arm::kJointTorques:
        case Arm::kJointAngles:
        case Arm::kForce:
        case Arm::kPosition:
            return Arm::kVectorRequestSize;
        default:
            return 0;
    }
}

void ArmDevice::Receive(const std::uint8_t* data, std::size_t n, Clock::time_point now,
                        std::vector<Message>& replies) {
    framer_.Feed(
        data, n, now,
        [](const std::uint8_t* p, std::size_t) {
            const std::size_t size = RequestSize(p[0]);
            return size == 0 ? RequestFramer::kUnknown : size;
        },
        [&](const std::uint8_t* request, std::size_t) { replies.push_back(Answer(request, now)); },
        [](std::uint8_t) {});  // the arm ignores a byte that starts no request
}

Message ArmDevice::Answer(const std::uint8_t* request, Clock::time_point now) {
    // Time passes under the previous command; then the new command takes over.
    if (last_request_) {
        model_.Advance(std::chrono::duration<double>(now - *last_request_).count());
    }
    last_request_ = now;

    Vec3 v{};
    float f[3] = {0, 0, 0};
    const bool vector = RequestSize(request[0]) == Arm::kVectorRequestSize;
    if (vector) {
        P::GetF32x3(request + Arm::kVectorOffset, f);
        v = {f[0], f[1], f[2]};
    }
    if (trace_ != nullptr) {
        trace_->Request(now, request[0], f, vector ? 3 : 0);
    }
    switch (request[0]) {
        case Arm::kWakeup:
            return DeviceInfo();
        case Arm::kCurrentRequest:
            return State(Arm::kCurrent, model_.Currents(), {});
        case Arm::kForce:
            model_.CommandForce(v);
            break;
        case Arm::kPosition:
            model_.CommandPosition(v);
            break;
        case Arm::kJointTorques:
            model_.CommandTorques(v);
            return JointState(now);
        case Arm::kJointAngles:
            model_.CommandAngles(v);
            return JointState(now);
    }
    if (replay_) {
        const ArmSample s = Replayed(now);
        return State(Arm::kEndEffectorState, s.position, s.velocity);
    }
    return State(Arm::kEndEffectorState, model_.Position(), model_.Velocity());
}

ArmSample ArmDevice::Replayed(Clock::time_point now) {
    return ArmAt(replay_->recording, replay_->clock.Seconds(now, replay_->recording.Duration()));
}

Message ArmDevice::JointState(Clock::time_point now) {
    if (!replay_) {
        return State(Arm::kJointState, model_.JointAngles(), model_.JointVelocities());
    }
    const ArmSample s = Replayed(now);
    replay_angles_ = ArmModel::InverseKinematics(s.position, replay_angles_);
    return State(Arm::kJointState, replay_angles_,
                 ArmModel::JointVelocities(replay_angles_, s.velocity));
}

Message ArmDevice::DeviceInfo() const {
    Message m(1 + Arm::kDeviceInfoPayload);
    m[0] = Arm::kDeviceInfo;
    std::uint8_t* payload = m.data() + 1;
    P::PutU16(payload + Arm::kInfoDeviceId, identity_.device_id);
    payload[Arm::kInfoModelNumber] = identity_.model_number;
    payload[Arm::kInfoHardwareVersion] = identity_.hardware_version;
    payload[Arm::kInfoFirmwareVersion] = identity_.firmware_version;
    for (std::size_t i = 0; i < Arm::kUuidSize; ++i) {
        payload[Arm::kInfoUuid + i] = identity_.uuid[i];
    }
    return m;
}

// A state or current reply: the header, then three floats, then three more for the two
// state replies (the current reply carries only the first three).
Message ArmDevice::State(std::uint8_t header, const Vec3& first, const Vec3& second) const {
    const bool current = header == Arm::kCurrent;
    Message m(1 + (current ? Arm::kCurrentPayload : Arm::kStatePayload));
    m[0] = header;
    const float a[3] = {float(first[0]), float(first[1]), float(first[2])};
    P::PutF32x3(m.data() + 1 + Arm::kStatePosition, a);
    if (!current) {
        const float b[3] = {float(second[0]), float(second[1]), float(second[2])};
        P::PutF32x3(m.data() + 1 + Arm::kStateVelocity, b);
    }
    return m;
}

}  // namespace Orvane::Sim
