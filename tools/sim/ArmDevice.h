// The simulated arm: answers every arm request with its reply, built from the arm model.
// Time passes for the model between requests, on the clock the requests arrive by.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "ArmModel.h"
#include "ReplayTrack.h"
#include "SimDevice.h"

namespace Orvane::Sim {

struct ArmIdentity {
    std::uint16_t device_id = 1;
    std::uint8_t model_number = 4;
    std::uint8_t hardware_version = 1;
    std::uint8_t firmware_version = 1;
    std::array<std::uint8_t, 16> uuid{};
};

class ArmDevice : public SimDevice {
public:
    explicit ArmDevice(const ArmIdentity& identity) : identity_(identity) {}

    void Receive(const std::uint8_t* data, std::size_t n, Clock::time_point now,
                 std::vector<Message>& replies) override;

    const ArmModel& Model() const { return model_; }

    // From now on every state reply carries the recorded state, played on `clock`,
    // instead of the model's: joint state replies the joint angles and velocities that
    // give it. Current replies, which no recording holds, still come from the model.
    void Replay(Recorded<ArmSample> recording, ReplayClock clock) {
        replay_.emplace(Playback{std::move(recording), clock});
    }

private:
    // Answers one complete request of `size` bytes.
    Message Answer(const std::uint8_t* request, std::size_t size, Clock::time_point now);
    Message DeviceInfo() const;
    Message JointState(Clock::time_point now);
    ArmSample Replayed(Clock::time_point now);
    Message State(std::uint8_t header, const Vec3& first, const Vec3& second) const;

    ArmIdentity identity_;
    ArmModel model_;
    RequestFramer framer_;
    std::optional<Clock::time_point> last_request_;
    struct Playback {
        Recorded<ArmSample> recording;
        ReplayClock clock;
    };
    std::optional<Playback> replay_;
    Vec3 replay_angles_ = ArmModel::kHome;  // where the last joint state reply had the arm
};

}  // namespace Orvane::Sim
