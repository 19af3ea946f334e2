#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "PtyPair.h"
#include "platform/ZeroOnSignal.h"

namespace Orvane::HardwareAPI::Platform {
namespace {

const std::vector<std::uint8_t> kZero{0xA5, 0x01, 0x00, 0x00, 0x00, 0x00, 0x5A};

enum class Before { Default, Handler, GuardedByParent };

struct SignalCase {
    const char* name;
    int sig;
    Before before;
    bool fault;  // a real fault rather than a raised signal
};

class ZeroOnSignalTest : public ::testing::TestWithParam<SignalCase> {};

void MarkAndExit(int) {
    const char mark = 'H';
    [[maybe_unused]] const ssize_t w = write(STDOUT_FILENO, &mark, 1);
    _exit(7);
}

// The child guards the pty and dies by the signal; the parent plays the arm's end.
TEST_P(ZeroOnSignalTest, PortGetsTheMessageAndTheProcessEndsAsItWouldHave) {
    const SignalCase& c = GetParam();
#if defined(__SANITIZE_ADDRESS__)
    if (c.fault) {
        GTEST_SKIP() << "the sanitizers take a real fault before any handler of the program";
    }
#endif
    OrvaneTest::PtyPair pty;
    int marks[2];
    ASSERT_EQ(pipe(marks), 0);
    int slot = -1;
    if (c.before == Before::GuardedByParent) {
        slot = GuardPort(pty.slave(), kZero.data(), kZero.size());
        ASSERT_GE(slot, 0);
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(marks[1], STDOUT_FILENO);
        signal(c.sig, c.before == Before::Handler ? MarkAndExit : SIG_DFL);
        if (c.before != Before::GuardedByParent &&
            GuardPort(pty.slave(), kZero.data(), kZero.size()) < 0) {
            _exit(99);
        }
        if (c.fault) {
            *static_cast<volatile int*>(nullptr) = 1;
        }
        raise(c.sig);
        _exit(98);
    }
    close(marks[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (slot >= 0) {
        UnguardPort(slot);
    }
    char mark = 0;
    const bool marked = read(marks[0], &mark, 1) == 1;
    close(marks[0]);
    if (c.before == Before::GuardedByParent) {
        // The child's end must not write to the port its parent guards.
        EXPECT_TRUE(pty.Pending(200).empty());
    } else if (c.before == Before::Handler) {
        // The program handles the signal: it may go on, so nothing goes on the wire.
        EXPECT_TRUE(pty.Pending(200).empty());
    } else {
        EXPECT_EQ(pty.Expect(kZero.size(), 2000), kZero);
    }
    if (c.before == Before::Handler) {
        EXPECT_TRUE(marked) << "the program's own handler ran";
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 7);
    } else {
        EXPECT_FALSE(marked);
        ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
        EXPECT_EQ(WTERMSIG(status), c.sig);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, ZeroOnSignalTest,
    ::testing::Values(SignalCase{"sigterm", SIGTERM, Before::Default, false},
                      SignalCase{"sigabrt", SIGABRT, Before::Default, false},
                      SignalCase{"segfault", SIGSEGV, Before::Default, true},
                      SignalCase{"handler_chained", SIGTERM, Before::Handler, false},
                      SignalCase{"forked_child", SIGTERM, Before::GuardedByParent, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
// A loop thread writing forces while a signal ends the process: the zero comes last.
TEST(ZeroOnSignal, NothingFollowsTheZero) {
    const std::vector<std::uint8_t> force{0xA5, 0x01, 0x11, 0x11, 0x11, 0x11, 0x5A};
    for (int round = 0; round < 20; ++round) {
        OrvaneTest::PtyPair pty;
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (GuardPort(pty.slave(), kZero.data(), kZero.size()) < 0) {
                _exit(99);
            }
            std::thread writer([&] {
                for (;;) {
                    if (BeginGuardedWrite()) {
                        [[maybe_unused]] const ssize_t w =
                            write(pty.slave(), force.data(), force.size());
                        EndGuardedWrite();
                    }
                    usleep(20);
                }
            });
            usleep(5000);
            raise(SIGTERM);
            _exit(98);
        }
        std::vector<std::uint8_t> seen;
        int status = 0;
        while (waitpid(child, &status, WNOHANG) == 0) {
            const std::vector<std::uint8_t> more = pty.Pending(5);
            seen.insert(seen.end(), more.begin(), more.end());
        }
        const std::vector<std::uint8_t> rest = pty.Pending(100);
        seen.insert(seen.end(), rest.begin(), rest.end());
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
        ASSERT_GE(seen.size(), kZero.size());
        EXPECT_EQ(std::vector<std::uint8_t>(seen.end() - 7, seen.end()), kZero)
            << "round " << round;
    }
}

}  // namespace Orvane::HardwareAPI::Platform
