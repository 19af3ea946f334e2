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

std::vector<std::uint8_t> Zeros(int n) {
    std::vector<std::uint8_t> out;
    for (int i = 0; i < n; ++i) {
        out.push_back(0x2A);
        out.insert(out.end(), 12, 0x00);
    }
    return out;
}

enum class End { Killed, KilledAfterItsZero, KilledMidRequest, KilledWithAForkedChild };

class ZeroGuardDeath : public ::testing::TestWithParam<End> {};

// A program starts the guard on the port and dies by SIGKILL; the test plays the arm.
TEST_P(ZeroGuardDeath, EndsOnAWholeZeroUnlessTheProgramSentItsOwn) {
    OrvaneTest::PtyPair pty;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t program = fork();
    ASSERT_GE(program, 0);
    if (program == 0) {
        ZeroGuardProcess guard;
        char why[240];
        if (!StartZeroGuard(pty.slave(), false, guard, why, sizeof why)) {
            _exit(99);
        }
        if (GetParam() == End::KilledAfterItsZero) {
            TellZeroSent(guard.channel);
        } else if (GetParam() == End::KilledMidRequest) {
            const std::uint8_t part[5] = {0x2A, 0, 0, 0x80, 0x3F};  // x = 1.0, then nothing
            [[maybe_unused]] const ssize_t w = write(pty.slave(), part, sizeof part);
        } else if (GetParam() == End::KilledWithAForkedChild) {
            // The child lives on with a copy of everything; the guard still hears the death.
            const std::vector<std::uint8_t> zero = Zeros(1);
            GuardPort(pty.slave(), zero.data(), zero.size(), guard.channel);
            if (fork() == 0) {
                usleep(600'000);
                _exit(0);
            }
        }
        [[maybe_unused]] const ssize_t w = write(ready[1], "r", 1);
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
    ASSERT_TRUE(WIFSIGNALED(status));
    std::vector<std::uint8_t> seen = pty.Pending(300);
    if (GetParam() == End::KilledAfterItsZero) {
        EXPECT_TRUE(seen.empty());
        return;
    }
    std::vector<std::uint8_t> want = Zeros(2);
    if (GetParam() == End::KilledMidRequest) {
        want.insert(want.begin(), {0x2A, 0, 0, 0x80, 0x3F});
    }
    EXPECT_EQ(seen, want);
}

INSTANTIATE_TEST_SUITE_P(Ends, ZeroGuardDeath,
                         ::testing::Values(End::Killed, End::KilledAfterItsZero,
                                           End::KilledMidRequest, End::KilledWithAForkedChild));

// A normal end: nothing written, and the helper gone and reaped when it returns, even while
// a forked child holds a copy of the program's end.
TEST(ZeroGuardProcess, EndsWithoutWritingAndLeavesNothingBehind) {
    OrvaneTest::PtyPair pty;
    ZeroGuardProcess guard;
    char why[240] = "";
    ASSERT_TRUE(StartZeroGuard(pty.slave(), false, guard, why, sizeof why)) << why;
    const pid_t helper = static_cast<pid_t>(guard.pid);
    ASSERT_GT(helper, 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        usleep(300'000);  // outlives the guard's end below
        _exit(0);
    }
    EndZeroGuard(guard);
    EXPECT_EQ(guard.channel, -1);
    errno = 0;
    EXPECT_EQ(kill(helper, 0), -1) << "the helper is gone, reaped";
    EXPECT_EQ(errno, ESRCH);
    EXPECT_TRUE(pty.Pending(100).empty());
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
}

}  // namespace
}  // namespace Orvane::HardwareAPI::Platform
