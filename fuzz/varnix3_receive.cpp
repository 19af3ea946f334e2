// Every arm reply read over whatever a device sends.
//
// Input: a schedule byte, a write-failure byte (FuzzStream.h), then the bytes on the line.
// The schedule picks which reply read runs in each round, and which request goes out before
// it. Each read is checked against the bytes it consumed: the expected header and a complete
// payload give the payload size and the decoded fields; any other header discards up to
// 1024 bytes and leaves the outputs untouched; a short payload returns -1 with the outputs
// untouched; after a failure every read returns -1 at once and no request reaches the line.
#include <cstdint>
#include <cstring>
#include <iostream>

#include "FuzzStream.h"
#include "Orvane/HardwareAPI/Protocol.h"
#include "Orvane/HardwareAPI/UUID.h"
#include "Orvane/HardwareAPI/Varnix3.h"

namespace {

namespace Arm = Orvane::HardwareAPI::Protocol::Arm;
using Orvane::HardwareAPI::UUID;
using Orvane::HardwareAPI::Devices::Varnix3;
using OrvaneFuzz::Check;

// Outputs of one reply read, pre-filled with a pattern that no decoding step writes by
// accident, so "left untouched" can be checked bit for bit.
struct Outputs {
    float a[3], b[3];
    std::uint16_t id;
    std::uint8_t model, hardware, firmware;
    UUID uuid;

    Outputs() { std::memset(this, 0xA5, sizeof *this); }
};

struct ReplyKind {
    std::uint8_t header;
    std::size_t payload;
};

constexpr ReplyKind kReplies[4] = {{Arm::kDeviceInfo, Arm::kDeviceInfoPayload},
                                   {Arm::kEndEffectorState, Arm::kStatePayload},
                                   {Arm::kJointState, Arm::kStatePayload},
                                   {Arm::kCurrent, Arm::kCurrentPayload}};

int Receive(Varnix3& arm, unsigned which, Outputs& out) {
    switch (which) {
        case 0:
            return arm.ReceiveDeviceInfo(out.id, out.model, out.hardware, out.firmware, out.uuid);
        case 1:
            return arm.ReceiveState(out.a, out.b);
        case 2:
            return arm.ReceiveJointState(out.a, out.b);
        default:
            return arm.ReceiveCurrent(out.a);
    }
}

void CheckDecoded(unsigned which, const Outputs& out, const std::uint8_t* p) {
    using namespace Orvane::HardwareAPI::Protocol;
    if (which == 0) {
        Check(out.id == GetU16(p + Arm::kInfoDeviceId) && out.model == p[Arm::kInfoModelNumber] &&
                  out.hardware == p[Arm::kInfoHardwareVersion] &&
                  out.firmware == p[Arm::kInfoFirmwareVersion] &&
                  std::memcmp(out.uuid.bytes.data(), p + Arm::kInfoUuid, Arm::kUuidSize) == 0,
              "device information fields");
        return;
    }
    Check(std::memcmp(out.a, p, 12) == 0, "first vector");
    if (which != 3) {
        Check(std::memcmp(out.b, p + Arm::kStateVelocity, 12) == 0, "second vector");
    }
}

void SendOne(Varnix3& arm, OrvaneFuzz::DeviceEnd& end, std::iostream& stream, unsigned which,
             const float* values) {
    static constexpr std::uint8_t kHeaders[6] = {Arm::kWakeup,      Arm::kCurrentRequest,
                                                 Arm::kForce,       Arm::kJointTorques,
                                                 Arm::kJointAngles, Arm::kPosition};
    const bool good = stream.good();
    const std::size_t before = end.Written().size();
    switch (which) {
        case 0:
            arm.SendDeviceWakeup();
            break;
        case 1:
            arm.RequestCurrent();
            break;
        case 2:
            arm.SendForce(values);
            break;
        case 3:
            arm.SendJointTorques(values);
            break;
        case 4:
            arm.SendAngle(values);
            break;
        default:
            arm.SendPosition(values);
            break;
    }
    const std::size_t sent = end.Written().size() - before;
    if (!good) {
        Check(sent == 0, "request written on a failed stream", static_cast<long>(sent));
        return;
    }
    if (!stream.good()) {
        Check(sent == 0 && stream.bad() && !stream.eof(), "failed write state");
        return;
    }
    const std::size_t size = which < 2 ? Arm::kBareRequestSize : Arm::kVectorRequestSize;
    Check(sent == size && end.Written()[before] == kHeaders[which], "request bytes",
          static_cast<long>(sent), which);
    if (size == Arm::kVectorRequestSize) {
        Check(std::memcmp(&end.Written()[before + 1], values, 12) == 0, "request floats");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    OrvaneFuzz::Controls controls;
    if (!OrvaneFuzz::SplitControls(data, size, controls)) {
        return -1;
    }
    OrvaneFuzz::DeviceEnd end(data, size, controls.fail_from_write);
    std::iostream stream(&end);
    Varnix3 arm(stream);
    float last[3] = {1.5f, -2.0f, 0.25f};

    int after_failure = 0;
    for (unsigned round = 0; after_failure < 2; ++round) {
        const unsigned which = (controls.schedule >> (2 * (round % 4))) & 3;
        SendOne(arm, end, stream, (controls.schedule + round) % 6, last);

        const bool was_good = stream.good();
        const std::uint8_t* at = end.Next();
        const std::size_t available = end.Remaining();
        const std::size_t before = end.Consumed();
        Outputs out;
        const Outputs untouched;
        const int result = Receive(arm, which, out);
        const std::size_t consumed = end.Consumed() - before;
        const bool untouched_out = std::memcmp(&out, &untouched, sizeof out) == 0;
        const ReplyKind reply = kReplies[which];

        if (!was_good || available == 0) {
            Check(result == -1 && consumed == 0 && untouched_out, "read on a failed stream",
                  result);
        } else if (at[0] != reply.header) {
            const std::size_t discarded = available - 1 < 1024 ? available - 1 : 1024;
            Check(result == -1 && untouched_out && consumed == 1 + discarded,
                  "wrong header discards up to 1024 bytes", result, static_cast<long>(consumed));
            Check(stream.good() == (available - 1 >= 1024), "state after a discard");
        } else if (available - 1 < reply.payload) {
            Check(result == -1 && untouched_out && !stream.good() && consumed == available,
                  "short reply", result);
        } else {
            Check(result == static_cast<int>(reply.payload) && stream.good() &&
                      consumed == 1 + reply.payload,
                  "complete reply", result, static_cast<long>(consumed));
            CheckDecoded(which, out, at + 1);
            if (which != 0) {
                std::memcpy(last, out.a, sizeof last);
            }
        }
        if (!stream.good()) {
            ++after_failure;
        }
    }
    return 0;
}
