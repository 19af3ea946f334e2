// The library's C++ interface: SendForce + ReceiveState on the arm, or RequestStatus +
// Receive on the handle, over a SerialStream.
#include <cstdint>
#include <cstdio>

#include "Orvane/HardwareAPI/Handle.h"
#include "Orvane/HardwareAPI/SerialStream.h"
#include "Orvane/HardwareAPI/Varnix3.h"
#include "harness.h"

namespace {

using Orvane::HardwareAPI::Devices::Handle;
using Orvane::HardwareAPI::Devices::Varnix3;
using Orvane::HardwareAPI::IO::SerialStream;
namespace Msg = Orvane::HardwareAPI::Protocol::HandleMsg;

class StatusHandle : public Handle {
public:
    using Handle::Handle;
    void OnReceiveHandleStatusMessage(std::uint16_t, const float* quaternion, std::uint8_t,
                                      std::uint8_t, std::uint8_t user_data_length,
                                      const std::uint8_t*) override {
        first_component = quaternion[0];
        user_data = user_data_length;
    }
    float first_component = 0;
    int user_data = -1;
};

}  // namespace

int main(int argc, char** argv) {
    const OrvaneBench::Args args = OrvaneBench::ParseArgs(argc, argv);
    SerialStream stream(args.port, true);
    if (!stream.good()) {
        return 1;
    }
    if (args.exchange == "arm") {
        Varnix3 arm(stream);
        const float force[3] = {0.5f, -1.25f, 2.0f};
        return OrvaneBench::Run("cpp", args, [&] {
            float position[3] = {0, 0, 0};
            float velocity[3] = {0, 0, 0};
            arm.SendForce(force);
            return arm.ReceiveState(position, velocity) >= 0 && position[0] == force[0] &&
                   velocity[2] == -force[2];
        });
    }
    StatusHandle handle(stream);
    return OrvaneBench::Run("cpp", args, [&] {
        handle.first_component = 0;
        handle.RequestStatus();
        const int n = handle.Receive();
        return n == static_cast<int>(Msg::kStatusFixedPayload) + handle.user_data &&
               handle.first_component == 1.0f;
    });
}
