// The servo loop from C++: holds the arm where it is with a spring, puts a wall 5 mm in
// front of it, pushes into the wall for a second and stops with the arm's force at zero.
//   servo_loop /dev/ttyACM0
// Every call that can fail returns an Error (a kind to act on, a message for people);
// none throws.
#include <Orvane/HardwareAPI.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

using namespace Orvane::HardwareAPI;
using namespace Orvane::HardwareAPI::Haptics;

int Failed(const char* what, const Error& error) {
    std::fprintf(stderr, "servo_loop: %s: %s\n", what, error.message.c_str());
    // A port that never opened or an arm that never answered is not a fault of this
    // program's making: the caller may try another port.
    return error.kind == ErrorKind::PortUnavailable || error.kind == ErrorKind::NoDevice ? 2 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    ServoConfig config;
    config.rate_hz = 1000.0;
    config.max_force = 3.0;
    config.realtime = false;  // a real program asks for it; this one runs anywhere
    if (const Error refused = CheckConfig(config)) {
        std::fprintf(stderr, "servo_loop: %s\n", refused.message.c_str());
        return 2;
    }
    // The constructor opens the port, wakes the arm and reads its first state.
    ServoLoop loop(argv[1], config);
    if (const Error fault = loop.Fault()) {
        return Failed("cannot drive the arm", fault);
    }
    if (const Error error = loop.Start()) {
        return Failed("the loop did not start", error);
    }
    const Vec3 home = loop.State().position;

    EffectId spring = 0, wall = 0;
    if (const Error error = loop.Add(Spring{home, 40.0, 0.5}, spring)) {
        return Failed("no spring", error);
    }
    const Vec3 front{home[0] + 0.005, home[1], home[2]};
    if (const Error error = loop.Add(Wall{front, {-1.0, 0.0, 0.0}, 400.0, 1.0}, wall)) {
        return Failed("no wall", error);
    }

    // The hand's push, set again well within the watchdog, or the loop ramps it out.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < end) {
        if (const Error error = loop.SetForce({1.0, 0.0, 0.0})) {
            return Failed("the loop ended", error);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const LoopState state = loop.State();
    const LoopStats stats = loop.Stats();
    loop.Stop();  // sends zero force, joins the thread, closes the port
    // At rest the push, the spring and the wall cancel: the force sent is about zero.
    std::printf("pushed %.2f mm past the start, force sent %+.2f N, %llu cycles at %.0f Hz\n",
                (state.position[0] - home[0]) * 1000.0, state.force[0],
                static_cast<unsigned long long>(stats.cycles), stats.rate_hz);
    if (const Error fault = loop.Fault()) {
        return Failed("the loop failed", fault);
    }
    return 0;
}
