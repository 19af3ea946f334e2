// Ports that another process has open, or has locked, are refused before anything is set or
// sent on them, for root and for other users alike.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <string>
#include <utility>

#include "Orvane/HardwareAPI/SerialStream.h"
#include "Orvane/HardwareAPI/Varnix3.h"
#include "PtyPair.h"
#include "posix/PortHolders.h"

namespace HW = Orvane::HardwareAPI;
using OrvaneTest::PtyPair;

namespace {

constexpr uid_t kRoot = 0;
constexpr uid_t kNobody = 65534;
constexpr int kRefused = 0;
constexpr int kOpened = 1;

// Runs `body` in a child that became `uid` (with the group of that number); returns its pid.
template <class Body>
pid_t Spawn(uid_t uid, Body body) {
    const pid_t child = fork();
    if (child == 0) {
        _exit(uid == kRoot || (setgid(uid) == 0 && setuid(uid) == 0) ? body() : 99);
    }
    return child;
}

int ExitCode(pid_t child) {
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A child of `uid` holding the port open, and nothing else, until destroyed.
struct Holder {
    Holder(const std::string& path, uid_t uid) {
        int ready[2];
        if (pipe(ready) != 0) {
            return;
        }
        pid = Spawn(uid, [&] {
            for (int fd = 3; fd < 1024; ++fd) {
                if (fd != ready[1]) {
                    close(fd);  // not the test's device end of the line
                }
            }
            // A program that dropped root may be looked into by its own user, as after an exec.
            const char ok =
                prctl(PR_SET_DUMPABLE, 1) == 0 && open(path.c_str(), O_RDWR | O_NOCTTY) >= 0;
            if (write(ready[1], &ok, 1) == 1) {
                pause();
            }
            return 0;
        });
        close(ready[1]);
        char ok = 0;
        held = pid > 0 && read(ready[0], &ok, 1) == 1 && ok == 1;
        close(ready[0]);
    }
    ~Holder() {
        kill(pid, SIGKILL);
        ExitCode(pid);
    }
    pid_t pid = -1;
    bool held = false;
};

// Opens the port as `uid` in a child and sends the arm's wake-up on it: kRefused when the open
// gave -2 with EBUSY, kOpened when it opened.
int OpenAndWakeAs(uid_t uid, const std::string& path) {
    return ExitCode(Spawn(uid, [&] {
        std::freopen("/dev/null", "w", stderr);
        HW::IO::SerialStream stream(path.c_str(), false);
        const int code = stream.Open();
        HW::Devices::Varnix3(stream).SendDeviceWakeup();
        return code == 1 ? kOpened : code == -2 && stream.OpenError() == EBUSY ? kRefused : 2;
    }));
}

using Users = std::pair<uid_t, uid_t>;  // holder, opener

class HeldPortTest : public testing::TestWithParam<Users> {};

}  // namespace

TEST_P(HeldPortTest, RefusedUntouchedUntilFreed) {
    if (geteuid() != kRoot) {
        GTEST_SKIP() << "needs root to run the holder and the opener as other users";
    }
    const auto [holder_uid, opener_uid] = GetParam();
    PtyPair pty(/*raw=*/false);  // the settings a program left on its terminal
    ASSERT_EQ(chown(pty.path().c_str(), kNobody, kNobody), 0);
    termios before{};
    termios after{};
    ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
    {
        const Holder holder(pty.path(), holder_uid);
        ASSERT_TRUE(holder.held);
        EXPECT_EQ(OpenAndWakeAs(opener_uid, pty.path()), kRefused);
        ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
        EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "settings changed";
        EXPECT_TRUE(pty.Pending(100).empty()) << "bytes written to a held port";
    }
    EXPECT_EQ(OpenAndWakeAs(opener_uid, pty.path()), kOpened);
    EXPECT_EQ(pty.Pending(100), std::vector<std::uint8_t>{0x0A});
}

INSTANTIATE_TEST_SUITE_P(RootAndUser, HeldPortTest,
                         testing::Values(Users{kRoot, kRoot}, Users{kNobody, kRoot},
                                         Users{kNobody, kNobody}),
                         [](const testing::TestParamInfo<Users>& info) {
                             const auto name = [](uid_t u) { return u == kRoot ? "Root" : "User"; };
                             return std::string(name(info.param.first)) + "Holder" +
                                    name(info.param.second) + "Opener";
                         });

// A lock file keeps the port while its process lives; one left by a process that is gone makes
// way for this process's own, which the close removes even when the device node went first.
TEST(LockFile, LiveHolderKeepsThePortStaleOneMakesWay) {
    char pattern[] = "/tmp/orvane-locks-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string folder = pattern;
    PtyPair pty;
    std::string name = pty.path().substr(std::strlen("/dev/"));
    std::replace(name.begin(), name.end(), '/', '_');
    const std::string lock = folder + "/LCK.." + name;
    const auto write_lock = [&](pid_t pid) { std::ofstream(lock) << std::setw(10) << pid << '\n'; };
    const int fd = open(pty.path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);

    write_lock(1);  // always running
    EXPECT_TRUE(HW::Platform::HeldElsewhere(fd, folder.c_str()));
    const pid_t gone = fork();
    if (gone == 0) {
        _exit(0);
    }
    ASSERT_EQ(ExitCode(gone), 0);
    write_lock(gone);
    EXPECT_FALSE(HW::Platform::HeldElsewhere(fd, folder.c_str()));
    EXPECT_FALSE(std::filesystem::exists(lock)) << "stale lock file left";

    HW::Platform::TakeLockFile(fd, folder.c_str());
    pid_t owner = 0;
    std::ifstream(lock) >> owner;
    EXPECT_EQ(owner, getpid());
    pty.HangUp();
    HW::Platform::ReleaseLockFile(fd);
    EXPECT_FALSE(std::filesystem::exists(lock));
    close(fd);
    std::filesystem::remove_all(folder);
}

TEST(LockFile, NoneTakenForPseudoTerminals) {
    PtyPair pty;
    const HW::IO::SerialStream stream(pty.path().c_str(), true);
    std::string name = pty.path().substr(std::strlen("/dev/"));
    std::replace(name.begin(), name.end(), '/', '_');
    EXPECT_FALSE(std::filesystem::exists(std::string(HW::Platform::kLockFolder) + "/LCK.." + name));
}
