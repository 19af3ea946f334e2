// The wire codecs over arbitrary bytes, framed the way each reader frames its line: the
// handle listener (the handle's messages), the simulated handle and arm (their requests), and
// the arm's replies as the host decodes them. Every message a framing finds must decode, and
// encoding what was decoded must give back exactly its bytes: a field taken from the wrong
// offset, a size that disagrees with its decoder or a float that loses bits is a finding. A
// payload one byte short must be refused.
#include <cstdint>
#include <cstring>

#include "FuzzStream.h"
#include "codec/ArmCodec.h"
#include "codec/HandleCodec.h"

namespace {

namespace Codec = Orvane::HardwareAPI::Codec;
namespace Protocol = Orvane::HardwareAPI::Protocol;
namespace Arm = Orvane::HardwareAPI::Codec::Arm;
namespace Wire = Orvane::HardwareAPI::Codec::Handle;
namespace Devices = Orvane::HardwareAPI::Devices;
using OrvaneFuzz::Check;

std::uint8_t scratch[Wire::kLargestStatusSize + 1];

void CheckSame(std::size_t encoded, Codec::ConstBytes message, const char* what) {
    Check(encoded == message.size() && std::memcmp(scratch, message.data(), encoded) == 0, what,
          static_cast<long>(encoded), static_cast<long>(message.size()));
}

// Walks `bytes` as `size_of` frames them; `check` gets each whole message.
template <typename SizeOf, typename CheckMessage>
void Frame(Codec::ConstBytes bytes, SizeOf size_of, CheckMessage check) {
    while (!bytes.empty()) {
        const std::size_t size = size_of(bytes);
        if (size == Codec::kNoMessage) {
            bytes = bytes.subspan(1);
            continue;
        }
        if (size == 0 || size > bytes.size()) {
            return;
        }
        check(bytes.first(size));
        bytes = bytes.subspan(size);
    }
}

void HandleMessage(Codec::ConstBytes m) {
    const Codec::ConstBytes payload = m.subspan(1);
    const Codec::ConstBytes short_payload = payload.first(payload.size() - 1);
    switch (m[0]) {
        case Protocol::HandleMsg::kInfo: {
            Devices::HandleInfo info;
            Check(Wire::DecodeInfo(payload, info) && !Wire::DecodeInfo(short_payload, info),
                  "information message decode");
            CheckSame(Wire::EncodeInfo(scratch, info), m, "information message round trip");
            break;
        }
        case Protocol::HandleMsg::kStatus: {
            Devices::HandleStatusMessage status;
            Check(Wire::DecodeStatus(payload, status) && !Wire::DecodeStatus(short_payload, status),
                  "status message decode");
            CheckSame(Wire::EncodeStatus(scratch, status), m, "status message round trip");
            break;
        }
        default: {
            Devices::HandleErrorResponse error;
            Check(Wire::DecodeErrorResponse(payload, error) &&
                      !Wire::DecodeErrorResponse(short_payload, error),
                  "error response decode");
            CheckSame(Wire::EncodeErrorResponse(scratch, error), m, "error response round trip");
        }
    }
}

void HandleRequest(Codec::ConstBytes m) {
    std::uint16_t id = 0;
    Codec::ConstBytes data;
    if (Wire::DecodeState(m, id, data)) {
        CheckSame(Wire::EncodeState(scratch, id, data), m, "state message round trip");
        return;
    }
    Check(m.size() == 1, "a request that is no state message is one byte", m[0]);
    CheckSame(m[0] == Protocol::HandleMsg::kWakeup ? Wire::EncodeWakeup(scratch)
                                                   : Wire::EncodeStatusRequest(scratch),
              m, "bare handle request");
}

void ArmRequest(Codec::ConstBytes m) {
    namespace Layout = Protocol::Arm;
    float v[3];
    if (m.size() == 1) {
        Check(!Arm::DecodeVectorRequest(m, v), "a bare request has no values");
        CheckSame(m[0] == Layout::kWakeup ? Arm::EncodeWakeup(scratch)
                                          : Arm::EncodeCurrentRequest(scratch),
                  m, "bare arm request");
        return;
    }
    Check(Arm::DecodeVectorRequest(m, v), "vector request decode");
    using Encoder = std::size_t (*)(Codec::Bytes, const float*);
    const Encoder encode = m[0] == Layout::kForce          ? &Arm::EncodeForce
                           : m[0] == Layout::kPosition     ? &Arm::EncodePosition
                           : m[0] == Layout::kJointTorques ? &Arm::EncodeJointTorques
                                                           : &Arm::EncodeJointAngles;
    CheckSame(encode(scratch, v), m, "vector request round trip");
}

// The host's reply decoders, each given the line's bytes as its payload.
void ArmReplies(Codec::ConstBytes bytes) {
    namespace Layout = Protocol::Arm;
    float a[3], b[3];
    if (Arm::DecodeCurrent(bytes, a)) {
        Arm::EncodeCurrent(scratch, a);
        Check(std::memcmp(scratch + 1, bytes.data(), Layout::kCurrentPayload) == 0, "current");
    }
    if (Arm::DecodeState(bytes, a, b)) {
        Arm::EncodeJointState(scratch, a, b);
        Check(std::memcmp(scratch + 1, bytes.data(), Layout::kStatePayload) == 0, "state");
    }
    Orvane::HardwareAPI::DeviceInfo info;
    if (Arm::DecodeDeviceInfo(bytes, info)) {
        Arm::EncodeDeviceInfo(scratch, info);
        Check(std::memcmp(scratch + 1, bytes.data(), Layout::kDeviceInfoPayload) == 0, "info");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Codec::ConstBytes bytes(data, size);
    Frame(bytes, Wire::MessageSize, HandleMessage);
    Frame(bytes, Wire::RequestSize, HandleRequest);
    Frame(bytes, Arm::RequestSize, ArmRequest);
    ArmReplies(bytes);
    return 0;
}
