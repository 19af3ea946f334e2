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

#include "Orvane/HardwareAPI/SerialStream.h"
#include "Orvane/HardwareAPI/Varnix3.h"
#include "PtyPair.h"
#include "posix/PortHolders.h"

namespace HW = Orvane::HardwareAPI;
using OrvaneTest::PtyPair;

namespace {

constexpr uid_t kRoot = 0;
constexpr uid_t kNobody = 65534;

// In a child: becomes `uid`, with the group of the same number.
bool BecomeUser(uid_t uid) {
    return uid == kRoot || (setgid(uid) == 0 && setuid(uid) == 0);
}

// A child process that holds the port open (and nothing else) until destroyed.
class Holder {
public:
    Holder(const std::string& path, uid_t uid) {
        int ready[2];
        int release[2];
        if (pipe(ready) != 0 || pipe(release) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            for (int fd = 3; fd < 1024; ++fd) {
                if (fd != ready[1] && fd != release[0]) {
                    close(fd);  // not the test's device end of the line
                }
            }
            // A program that dropped root may be looked into by its own user, as after an exec.
            const bool user = BecomeUser(uid) && prctl(PR_SET_DUMPABLE, 1) == 0;
            const char held = user && open(path.c_str(), O_RDWR | O_NOCTTY) >= 0 ? 1 : 0;
            char c = 0;
            if (write(ready[1], &held, 1) == 1) {
                [[maybe_unused]] const ssize_t r = read(release[0], &c, 1);
            }
            _exit(0);
        }
        close(ready[1]);
        close(release[0]);
        release_ = release[1];
        char held = 0;
        held_ = pid_ > 0 && read(ready[0], &held, 1) == 1 && held == 1;
        close(ready[0]);
    }
    ~Holder() {
        close(release_);
        if (pid_ > 0) {
            waitpid(pid_, nullptr, 0);
        }
    }
    bool held() const { return held_; }

private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool held_ = false;
};

struct OpenResult {
    int code = 0;
    int error = 0;
    bool operator==(const OpenResult&) const = default;
};

void PrintTo(const OpenResult& r, std::ostream* os) {
    *os << "code " << r.code << ", error " << r.error;
}

// Opens the port as `uid` in a child process and sends the arm's wake-up on it.
OpenResult OpenAndWakeAs(uid_t uid, const std::string& path) {
    int result[2];
    if (pipe(result) != 0) {
        return {};
    }
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        OpenResult r{99, 0};
        if (BecomeUser(uid)) {
            HW::IO::SerialStream stream(path.c_str(), false);
            r.code = stream.Open();
            r.error = static_cast<int>(stream.OpenError());
            HW::Devices::Varnix3 arm(stream);
            arm.SendDeviceWakeup();
        }
        _exit(write(result[1], &r, sizeof r) == sizeof r ? 0 : 1);
    }
    close(result[1]);
    OpenResult r{};
    if (child < 0 || read(result[0], &r, sizeof r) != sizeof r) {
        r = {};
    }
    close(result[0]);
    waitpid(child, nullptr, 0);
    return r;
}

struct HeldCase {
    const char* name;
    uid_t holder;
    uid_t opener;
};

void PrintTo(const HeldCase& c, std::ostream* os) {
    *os << c.name;
}

class HeldPortTest : public testing::TestWithParam<HeldCase> {};

}  // namespace

TEST_P(HeldPortTest, RefusedUntouchedUntilFreed) {
    if (geteuid() != kRoot) {
        GTEST_SKIP() << "needs root to run the holder and the opener as other users";
    }
    PtyPair pty(/*raw=*/false);  // the settings a program left on its terminal
    ASSERT_EQ(chown(pty.path().c_str(), kNobody, kNobody), 0);
    termios before{};
    ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
    {
        const Holder holder(pty.path(), GetParam().holder);
        ASSERT_TRUE(holder.held());
        EXPECT_EQ(OpenAndWakeAs(GetParam().opener, pty.path()), (OpenResult{-2, EBUSY}));
        termios after{};
        ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
        EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "settings changed";
        EXPECT_TRUE(pty.Pending(100).empty()) << "bytes written to a held port";
    }
    EXPECT_EQ(OpenAndWakeAs(GetParam().opener, pty.path()), (OpenResult{1, 0}));
    EXPECT_EQ(pty.Pending(100), std::vector<std::uint8_t>{0x0A});
}

INSTANTIATE_TEST_SUITE_P(Users, HeldPortTest,
                         testing::Values(HeldCase{"RootHolderRootOpener", kRoot, kRoot},
                                         HeldCase{"UserHolderRootOpener", kNobody, kRoot},
                                         HeldCase{"UserHolderUserOpener", kNobody, kNobody}),
                         [](const testing::TestParamInfo<HeldCase>& info) {
                             return std::string(info.param.name);
                         });

// A lock file keeps the port while its process lives; one left by a process that is gone is
// cleared and replaced by this process's own, which its close removes, also when the device
// (and its node) went away first.
class LockFileTest : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/orvane-locks-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        std::string name = pty_.path().substr(std::strlen("/dev/"));
        std::replace(name.begin(), name.end(), '/', '_');
        lock_ = folder_ + "/LCK.." + name;
        fd_ = open(pty_.path().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override {
        close(fd_);
        std::filesystem::remove_all(folder_);
    }
    void WriteLock(pid_t pid) const { std::ofstream(lock_) << std::setw(10) << pid << '\n'; }
    pid_t LockPid() const {
        pid_t pid = 0;
        std::ifstream(lock_) >> pid;
        return pid;
    }

    PtyPair pty_;
    std::string folder_;
    std::string lock_;
    int fd_ = -1;
};

TEST_P(LockFileTest, LiveHolderKeepsThePortStaleOneIsReplaced) {
    const bool live = GetParam();
    pid_t holder = 1;  // always running
    if (!live) {
        holder = fork();
        if (holder == 0) {
            _exit(0);
        }
        ASSERT_EQ(waitpid(holder, nullptr, 0), holder);
    }
    WriteLock(holder);
    EXPECT_EQ(HW::Platform::HeldElsewhere(fd_, folder_.c_str()), live);
    if (live) {
        EXPECT_EQ(LockPid(), holder);
        return;
    }
    EXPECT_FALSE(std::filesystem::exists(lock_)) << "stale lock file left";
    HW::Platform::TakeLockFile(fd_, folder_.c_str());
    EXPECT_EQ(LockPid(), getpid());
    pty_.HangUp();
    HW::Platform::ReleaseLockFile(fd_);
    EXPECT_FALSE(std::filesystem::exists(lock_));
}

INSTANTIATE_TEST_SUITE_P(Holders, LockFileTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Live" : "Dead");
                         });
