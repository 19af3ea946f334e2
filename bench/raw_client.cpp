// The floor: the exchanges written straight on the system calls, as lean as a client can
// be. One write for the request, then a wait and one read per piece of the reply (one
// piece when the reply arrives whole): three system calls per exchange.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "Orvane/HardwareAPI/Protocol.h"
#include "harness.h"

namespace {

namespace P = Orvane::HardwareAPI::Protocol;
namespace Arm = P::Arm;
namespace Msg = P::HandleMsg;

constexpr int kWaitMs = 1000;

int fd = -1;

// Reads until `complete` says the reply in buf[0, got) is whole; false on time-out,
// hang-up or error.
template <class Complete>
bool ReadReply(std::uint8_t* buf, std::size_t size, Complete&& complete) {
    std::size_t got = 0;
    while (!complete(got)) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kWaitMs) <= 0 || (p.revents & POLLIN) == 0) {
            return false;
        }
        const ssize_t r = read(fd, buf + got, size - got);
        if (r > 0) {
            got += static_cast<std::size_t>(r);
        } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
            return false;
        }
    }
    return true;
}

bool ArmExchange() {
    static const float force[3] = {0.5f, -1.25f, 2.0f};
    std::uint8_t request[Arm::kVectorRequestSize];
    request[0] = Arm::kForce;
    P::PutF32x3(request + Arm::kVectorOffset, force);
    if (write(fd, request, sizeof request) != static_cast<ssize_t>(sizeof request)) {
        return false;
    }
    std::uint8_t reply[64];
    constexpr std::size_t kReply = 1 + Arm::kStatePayload;
    if (!ReadReply(reply, sizeof reply, [](std::size_t got) { return got >= kReply; })) {
        return false;
    }
    float position[3];
    float velocity[3];
    P::GetF32x3(reply + 1 + Arm::kStatePosition, position);
    P::GetF32x3(reply + 1 + Arm::kStateVelocity, velocity);
    return reply[0] == Arm::kEndEffectorState && position[0] == force[0] &&
           velocity[2] == -force[2];
}

bool StatusExchange() {
    const std::uint8_t request = Msg::kStatusRequest;
    if (write(fd, &request, 1) != 1) {
        return false;
    }
    std::uint8_t reply[1 + Msg::kStatusFixedPayload + Msg::kMaxUserData];
    constexpr std::size_t kFixed = 1 + Msg::kStatusFixedPayload;
    const bool whole = ReadReply(reply, sizeof reply, [&](std::size_t got) {
        return got >= kFixed && got >= kFixed + reply[1 + Msg::kStatusUserDataLength];
    });
    return whole && reply[0] == Msg::kStatus &&
           P::GetF32(reply + 1 + Msg::kStatusQuaternion) == 1.0f;
}

}  // namespace

int main(int argc, char** argv) {
    const OrvaneBench::Args args = OrvaneBench::ParseArgs(argc, argv);
    fd = open(args.port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::perror(args.port);
        return 1;
    }
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    tcsetattr(fd, TCSANOW, &t);
    const int rc = args.exchange == "arm" ? OrvaneBench::Run("raw", args, ArmExchange)
                                          : OrvaneBench::Run("raw", args, StatusExchange);
    close(fd);
    return rc;
}
