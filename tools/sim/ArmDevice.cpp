#include "ArmDevice.h"

#include <chrono>

#include "Orvane/HardwareAPI/Protocol.h"
#include "Trace.h"
#include "codec/ArmCodec.h"

namespace Orvane::Sim {

namespace Arm = Orvane::HardwareAPI::Protocol::Arm;
namespace Codec = Orvane::HardwareAPI::Codec;
namespace Wire = Orvane::HardwareAPI::Codec::Arm;

static_assert(RequestFramer::kUnknown == Codec::kNoMessage);

void ArmDevice::Receive(const std::uint8_t* data, std::size_t n, Clock::time_point now,
                        std::vector<Message>& replies) {
    framer_.Feed(
        data, n, now,
        [](const std::uint8_t* p, std::size_t available) {
            return Wire::RequestSize(Codec::ConstBytes(p, available));
        },
        [&](const std::uint8_t* request, std::size_t size) {
            replies.push_back(Answer(request, size, now));
        },
        [](std::uint8_t) {});  // the arm ignores a byte that starts no request
}

Message ArmDevice::Answer(const std::uint8_t* request, std::size_t size, Clock::time_point now) {
    // Time passes under the previous command; then the new command takes over.
    if (last_request_) {
        model_.Advance(std::chrono::duration<double>(now - *last_request_).count());
    }
    last_request_ = now;

    Vec3 v{};
    float f[3] = {0, 0, 0};
    const bool vector = Wire::DecodeVectorRequest(Codec::ConstBytes(request, size), f);
    if (vector) {
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
    HardwareAPI::DeviceInfo info;
    info.device_id = identity_.device_id;
    info.model_number = identity_.model_number;
    info.hardware_version = identity_.hardware_version;
    info.firmware_version = identity_.firmware_version;
    info.uuid.bytes = identity_.uuid;
    Message m(Wire::kDeviceInfoSize);
    Wire::EncodeDeviceInfo(m, info);
    return m;
}

// A state or current reply: the two state replies carry both vectors, the current reply
// only the first.
Message ArmDevice::State(std::uint8_t header, const Vec3& first, const Vec3& second) const {
    const float a[3] = {float(first[0]), float(first[1]), float(first[2])};
    const float b[3] = {float(second[0]), float(second[1]), float(second[2])};
    Message m(header == Arm::kCurrent ? Wire::kCurrentSize : Wire::kStateSize);
    switch (header) {
        case Arm::kCurrent:
            Wire::EncodeCurrent(m, a);
            break;
        case Arm::kJointState:
            Wire::EncodeJointState(m, a, b);
            break;
        default:
            Wire::EncodeState(m, a, b);
            break;
    }
    return m;
}

}  // namespace Orvane::Sim
