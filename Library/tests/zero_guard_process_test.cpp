#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "PtyPair.h"
#include "platform/ZeroGuardProcess.h"
#include "platform/ZeroOnSignal.h"

namespace Orvane::HardwareAPI::Platform {
namespace {

// x = 1.0 and nothing more of a force request: a program killed inside its write.
const std::vector<std::uint8_t> kPart{0x2A, 0, 0, 0x80, 0x3F};

// The program guards the port, leaves part of a request on it and forks a child that
// outlives it; SIGKILL must still bring the whole zero, and last.
TEST(ZeroGuardProcess, AKilledProgramEndsOnAWholeZero) {
    OrvaneTest::PtyPair pty;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t program = fork();
    ASSERT_GE(program, 0);
    if (program == 0) {
        ZeroGuardProcess guard;
        char why[240];
        const std::uint8_t zero[13] = {0x2A};
        if (!StartZeroGuard(pty.slave(), false, guard, why, sizeof why) ||
            GuardPort(pty.slave(), zero, sizeof zero, guard.channel) < 0) {
            _exit(99);
        }
        if (fork() == 0) {
            usleep(600'000);
            _exit(0);
        }
        [[maybe_unused]] ssize_t w = write(pty.slave(), kPart.data(), kPart.size());
        w = write(ready[1], "r", 1);
        pause();
        _exit(98);
    }
    close(ready[1]);
    char mark = 0;
    ASSERT_EQ(read(ready[0], &mark, 1), 1);
    close(ready[0]);
    kill(program, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(program, &status, 0), program);
    // The first zero completes the cut request, its rest starts none, the second is whole.
    std::vector<std::uint8_t> want = kPart;
    for (int i = 0; i < 2; ++i) {
        want.push_back(0x2A);
        want.insert(want.end(), 12, 0x00);
    }
    EXPECT_EQ(pty.Pending(300), want);
}

}  // namespace
}  // namespace Orvane::HardwareAPI::Platform
