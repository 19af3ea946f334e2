// Wakes the arm on the port given and prints what it reports about itself:
//   wake_arm /dev/ttyACM0
#include <Orvane/HardwareAPI.h>

#include <cstdio>

int main(int argc, char** argv) {
    using namespace Orvane::HardwareAPI;
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    IO::SerialStream stream(argv[1], true);
    Devices::Varnix3 arm(stream);
    arm.SendDeviceWakeup();

    std::uint16_t device_id = 0;
    std::uint8_t model = 0, hardware = 0, firmware = 0;
    UUID uuid;
    if (arm.ReceiveDeviceInfo(device_id, model, hardware, firmware, uuid) < 0) {
        std::fprintf(stderr, "no arm answered on %s\n", argv[1]);
        return 1;
    }
    std::printf("library %s: arm %u, model %u, hardware %u, firmware %u\n", kLibraryVersion,
                device_id, model, hardware, firmware);
    return 0;
}
