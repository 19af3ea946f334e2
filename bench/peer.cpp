// A fast device on a pseudo-terminal: it answers each request at once with one write, so
// that every client of the benchmark meets the same device and the device adds no delay.
//
//   orvane-bench-peer [--status-data N]
//
// Prints the port path (the slave side) on one line, then serves until its standard
// input closes. Replies:
//   force 0x2A, position 0x2C   end-effector state 0x2B: position = the request's vector,
//                               velocity = its negation
//   torques 0x1A, angles 0x1C   joint state 0x1B, built the same way
//   current request 0xAB        current 0xAB: 1, 2, 3
//   wake-up 0x0A                arm information 0x0B, model number 4
//   status request 0xDA         handle status 0xDA: device id 0x1234, quaternion 1, 0, 0, 0,
//                               N bytes of user data 1, 2, 3, ... (N = 0 unless given)
//   handle state 0xDB           taken in, no reply
// Any other byte is dropped.
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Orvane/HardwareAPI/Protocol.h"

namespace {

namespace P = Orvane::HardwareAPI::Protocol;
namespace Arm = P::Arm;
namespace Msg = P::HandleMsg;

int status_data = 0;

bool WriteAll(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// Bytes the request starting at `in` needs, 0 when more must arrive to tell, or
// SIZE_MAX for a byte that starts no request.
std::size_t RequestSize(const std::uint8_t* in, std::size_t have) {
    switch (in[0]) {
        case Arm::kForce:
        case Arm::kPosition:
        case Arm::kJointTorques:
        case Arm::kJointAngles:
            return Arm::kVectorRequestSize;
        case Arm::kWakeup:  // the handle's wake-up shares this code
        case Arm::kCurrentRequest:
        case Msg::kStatusRequest:
            return 1;
        case Msg::kState:
            return have < Msg::kStateHeaderSize ? 0 : Msg::kStateHeaderSize + in[Msg::kStateLength];
        default:
            return SIZE_MAX;
    }
}

// Builds the reply to one whole request into `out`; its size (0: no reply).
std::size_t Reply(const std::uint8_t* in, std::uint8_t* out) {
    float v[3];
    switch (in[0]) {
        case Arm::kForce:
        case Arm::kPosition:
        case Arm::kJointTorques:
        case Arm::kJointAngles: {
            out[0] = (in[0] == Arm::kForce || in[0] == Arm::kPosition) ? Arm::kEndEffectorState
                                                                       : Arm::kJointState;
            P::GetF32x3(in + Arm::kVectorOffset, v);
            P::PutF32x3(out + 1 + Arm::kStatePosition, v);
            for (float& x : v) {
                x = -x;
            }
            P::PutF32x3(out + 1 + Arm::kStateVelocity, v);
            return 1 + Arm::kStatePayload;
        }
        case Arm::kCurrentRequest: {
            const float current[3] = {1, 2, 3};
            out[0] = Arm::kCurrent;
            P::PutF32x3(out + 1, current);
            return 1 + Arm::kCurrentPayload;
        }
        case Arm::kWakeup: {
            std::memset(out, 0, 1 + Arm::kDeviceInfoPayload);
            out[0] = Arm::kDeviceInfo;
            P::PutU16(out + 1 + Arm::kInfoDeviceId, 0x0301);
            out[1 + Arm::kInfoModelNumber] = Arm::kArmModelNumber;
            out[1 + Arm::kInfoHardwareVersion] = 1;
            out[1 + Arm::kInfoFirmwareVersion] = 2;
            for (std::size_t i = 0; i < Arm::kUuidSize; ++i) {
                out[1 + Arm::kInfoUuid + i] = static_cast<std::uint8_t>(i);
            }
            return 1 + Arm::kDeviceInfoPayload;
        }
        case Msg::kStatusRequest: {
            std::uint8_t* p = out + 1;
            out[0] = Msg::kStatus;
            std::memset(p, 0, Msg::kStatusFixedPayload);
            P::PutU16(p + Msg::kStatusDeviceId, 0x1234);
            p[Msg::kStatusHallEffect] = 7;
            const float quaternion[4] = {1, 0, 0, 0};
            for (int i = 0; i < 4; ++i) {
                P::PutF32(p + Msg::kStatusQuaternion + 4 * i, quaternion[i]);
            }
            p[Msg::kStatusUserDataLength] = static_cast<std::uint8_t>(status_data);
            for (int i = 0; i < status_data; ++i) {
                p[Msg::kStatusFixedPayload + i] = static_cast<std::uint8_t>(i + 1);
            }
            return 1 + Msg::kStatusFixedPayload + static_cast<std::size_t>(status_data);
        }
        default:
            return 0;
    }
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--status-data") == 0 && i + 1 < argc) {
            status_data = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--status-data N]\n", argv[0]);
            return 2;
        }
    }
    if (status_data < 0 || status_data > static_cast<int>(Msg::kMaxUserData)) {
        std::fprintf(stderr, "%s: --status-data must be 0 to 255\n", argv[0]);
        return 2;
    }

    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    // The peer keeps its slave descriptor open, so a client closing the port is no
    // hang-up here (holding the master as well, it is the device end to the client's open,
    // not another holder); the line is raw so that every client starts from the same settings.
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    std::printf("%s\n", name);
    std::fflush(stdout);

    std::vector<std::uint8_t> pending;
    std::uint8_t chunk[4096];
    std::uint8_t reply[P::kBufferSize];
    for (;;) {
        pollfd p[2] = {{master, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return 1;
        }
        if (p[1].revents != 0) {
            const ssize_t r = read(STDIN_FILENO, chunk, sizeof chunk);
            if (r <= 0) {
                return 0;  // the driver is done
            }
        }
        if ((p[0].revents & POLLIN) == 0) {
            continue;
        }
        const ssize_t r = read(master, chunk, sizeof chunk);
        if (r <= 0) {
            continue;
        }
        pending.insert(pending.end(), chunk, chunk + r);
        std::size_t at = 0;
        while (at < pending.size()) {
            const std::size_t need = RequestSize(&pending[at], pending.size() - at);
            if (need == SIZE_MAX) {
                ++at;
                continue;
            }
            if (need == 0 || pending.size() - at < need) {
                break;
            }
            const std::size_t n = Reply(&pending[at], reply);
            if (n > 0 && !WriteAll(master, reply, n)) {
                return 1;
            }
            at += need;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
    }
}
