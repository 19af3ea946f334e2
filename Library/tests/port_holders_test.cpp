// Ports that another process has open, or has locked, are refused before anything is set or
// sent on them, for root and for other users alike.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Orvane/HardwareAPI/SerialStream.h"
#include "Orvane/HardwareAPI/Varnix3.h"
#include "PtyPair.h"
#include "SerialBuffer.h"
#include "platform/Platform.h"
#include "posix/LockFiles.h"
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

// How a holder keeps the port: in its process's file table, in a thread that took a file
// table of its own, in a thread that goes on after the main thread has exited, in a large
// table far past its other files, or only as its controlling terminal through /dev/tty.
enum class HeldBy { Process, ThreadWithOwnFiles, ThreadAfterMainExited, PastAGap, DevTty };

// A child of `uid` holding the port open, and nothing else, until destroyed.
struct Holder {
    Holder(const std::string& path, uid_t uid, HeldBy by = HeldBy::Process) {
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
            const auto hold = [&] {
                for (int i = 0; by == HeldBy::PastAGap && i < 40; ++i) {
                    open("/dev/null", O_RDONLY);
                }
                int fd = -1;
                if (by == HeldBy::DevTty) {
                    // The port becomes the controlling terminal of a new session; only
                    // /dev/tty stays open.
                    const int port = setsid() >= 0 ? open(path.c_str(), O_RDWR) : -1;
                    const char ok = port >= 0 && open("/dev/tty", O_RDWR) >= 0 && close(port) == 0;
                    if (write(ready[1], &ok, 1) == 1) {
                        pause();
                    }
                    return;
                }
                const char ok =
                    (by != HeldBy::ThreadWithOwnFiles || unshare(CLONE_FILES) == 0) &&
                    prctl(PR_SET_DUMPABLE, 1) == 0 &&
                    (fd = open(path.c_str(), O_RDWR | O_NOCTTY)) >= 0 &&
                    (by != HeldBy::PastAGap || (dup2(fd, 500) == 500 && close(fd) == 0));
                if (by == HeldBy::ThreadAfterMainExited) {
                    usleep(100000);  // the main thread is gone by then
                }
                if (write(ready[1], &ok, 1) == 1) {
                    pause();
                }
            };
            if (by == HeldBy::Process || by == HeldBy::PastAGap || by == HeldBy::DevTty) {
                hold();
                return 0;
            }
            std::thread worker(hold);
            if (by == HeldBy::ThreadAfterMainExited) {
                syscall(SYS_exit, 0);  // this thread only; the process goes on in the worker
            }
            worker.join();
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

class HeldByThreadTest : public testing::TestWithParam<HeldBy> {};

TEST_P(HeldByThreadTest, RefusedUntilFreed) {
    PtyPair pty;
    {
        const Holder holder(pty.path(), kRoot, GetParam());
        ASSERT_TRUE(holder.held);
        EXPECT_EQ(OpenAndWakeAs(kRoot, pty.path()), kRefused);
        EXPECT_TRUE(pty.Pending(100).empty()) << "bytes written to a held port";
    }
    EXPECT_EQ(OpenAndWakeAs(kRoot, pty.path()), kOpened);
}

INSTANTIATE_TEST_SUITE_P(Threads, HeldByThreadTest,
                         testing::Values(HeldBy::ThreadWithOwnFiles, HeldBy::ThreadAfterMainExited),
                         [](const testing::TestParamInfo<HeldBy>& info) {
                             return info.param == HeldBy::ThreadWithOwnFiles ? "OwnFileTable"
                                                                             : "MainThreadExited";
                         });

INSTANTIATE_TEST_SUITE_P(LargeTable, HeldByThreadTest, testing::Values(HeldBy::PastAGap),
                         [](const testing::TestParamInfo<HeldBy>&) { return "PastAGap"; });

INSTANTIATE_TEST_SUITE_P(ControllingTerminal, HeldByThreadTest, testing::Values(HeldBy::DevTty),
                         [](const testing::TestParamInfo<HeldBy>&) { return "DevTty"; });

// Among many processes the scan is split between two threads: a holder is seen in either
// part (started before the crowd it comes early in /proc, after it late).
TEST(HeldAmongManyProcesses, RefusedWhereverTheHolderIsListed) {
    PtyPair pty;
    for (const bool holder_first : {true, false}) {
        std::optional<Holder> holder;
        if (holder_first) {
            holder.emplace(pty.path(), kRoot);
        }
        std::vector<pid_t> crowd;
        for (int i = 0; i < 300; ++i) {
            crowd.push_back(Spawn(kRoot, [] {
                pause();
                return 0;
            }));
        }
        if (!holder_first) {
            holder.emplace(pty.path(), kRoot);
        }
        ASSERT_TRUE(holder->held);
        EXPECT_EQ(OpenAndWakeAs(kRoot, pty.path()), kRefused) << "holder first: " << holder_first;
        for (const pid_t pid : crowd) {
            kill(pid, SIGKILL);
            ExitCode(pid);
        }
    }
}

// A look that cannot end by its deadline says so instead of calling the port free, and an
// open bound by it refuses the port untouched.
TEST(HeldAmongManyProcesses, LookPastItsDeadlineIsUncheckedNeverFree) {
    PtyPair pty;
    std::vector<pid_t> crowd;
    for (int i = 0; i < 300; ++i) {
        crowd.push_back(Spawn(kRoot, [] {
            pause();
            return 0;
        }));
    }
    const Holder holder(pty.path(), kRoot);
    ASSERT_TRUE(holder.held);
    const int fd = open(pty.path().c_str(), O_RDWR | O_NOCTTY);
    const auto now = std::chrono::steady_clock::now();
    EXPECT_EQ(HW::Platform::HoldersOf(fd, now), HW::Platform::Holders::Unchecked);
    EXPECT_EQ(HW::Platform::HoldersOf(fd, now + std::chrono::seconds(30)),
              HW::Platform::Holders::Some);
    close(fd);

    HW::Platform::BoundOpens(now);
    testing::internal::CaptureStderr();
    HW::IO::SerialStream stream(pty.path().c_str(), false);
    EXPECT_EQ(stream.Open(), -2);
    HW::Platform::BoundOpens(std::nullopt);
    EXPECT_EQ(stream.OpenError(), static_cast<std::uint32_t>(ETIMEDOUT));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("could not be checked in time"),
              std::string::npos);
    HW::Devices::Varnix3(stream).SendDeviceWakeup();
    EXPECT_TRUE(pty.Pending(100).empty()) << "bytes written to a port nobody checked";
    for (const pid_t pid : crowd) {
        kill(pid, SIGKILL);
        ExitCode(pid);
    }
}

// A process looked at once is read again only when it has run since: one that sat idle
// through an open and then opened the port, at once or a while later, is seen by the next.
TEST(HeldAmongManyProcesses, IdleProcessThatOpensThePortLaterIsSeen) {
    PtyPair pty;
    for (const int pause_ms : {0, 60}) {
        int go[2], ready[2];
        ASSERT_EQ(pipe(go) | pipe(ready), 0);
        const pid_t later = Spawn(kRoot, [&] {
            for (int fd = 3; fd < 1024; ++fd) {
                if (fd != go[0] && fd != ready[1]) {
                    close(fd);  // not the test's device end of the line
                }
            }
            char byte = 0;
            const char ok = read(go[0], &byte, 1) == 1 && open(pty.path().c_str(), O_RDWR) >= 0;
            if (write(ready[1], &ok, 1) == 1) {
                pause();
            }
            return 0;
        });
        close(go[0]);
        close(ready[1]);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // idle in its read
        {
            const HW::IO::SerialStream first(pty.path().c_str(), true);
            EXPECT_TRUE(first.good());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
        char ok = 0;
        ASSERT_EQ(write(go[1], "g", 1), 1);
        ASSERT_EQ(read(ready[0], &ok, 1), 1);
        ASSERT_EQ(ok, 1);
        testing::internal::CaptureStderr();
        HW::IO::SerialStream second(pty.path().c_str(), false);
        EXPECT_EQ(second.Open(), -2) << "after " << pause_ms << " ms";
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(second.OpenError(), static_cast<std::uint32_t>(EBUSY));
        kill(later, SIGKILL);
        ExitCode(later);
        close(go[1]);
        close(ready[0]);
    }
}

// Of two openers at the same moment exactly one wins, race after race.
TEST(SimultaneousOpeners, ExactlyOneWinsEachRace) {
    constexpr int kRaces = 50;
    PtyPair pty;
    int single_winners = 0;
    for (int race = 0; race < kRaces; ++race) {
        int go[2], results[2], done[2];
        ASSERT_EQ(pipe(go) | pipe(results) | pipe(done), 0);
        pid_t openers[2];
        for (pid_t& opener : openers) {
            opener = Spawn(kRoot, [&] {
                for (int fd = 3; fd < 1024; ++fd) {
                    if (fd != go[0] && fd != results[1] && fd != done[0]) {
                        close(fd);  // not the test's ends of the line
                    }
                }
                std::freopen("/dev/null", "w", stderr);
                char byte = 0;
                if (read(go[0], &byte, 1) != 1) {
                    return 2;
                }
                HW::IO::SerialStream stream(pty.path().c_str(), false);
                const char won = stream.Open() == 1 ? 1 : 0;
                if (write(results[1], &won, 1) != 1) {
                    return 2;
                }
                (void)!read(done[0], &byte, 1);  // holds the port until the race is judged
                return 0;
            });
        }
        close(go[0]);
        close(results[1]);
        close(done[0]);
        ASSERT_EQ(write(go[1], "gg", 2), 2);
        int winners = 0;
        for (int i = 0; i < 2; ++i) {
            char won = 0;
            ASSERT_EQ(read(results[0], &won, 1), 1);
            winners += won;
        }
        close(done[1]);
        close(go[1]);
        close(results[0]);
        for (const pid_t opener : openers) {
            EXPECT_EQ(ExitCode(opener), 0);
        }
        single_winners += winners == 1 ? 1 : 0;
    }
    EXPECT_EQ(single_winners, kRaces);
}

// Lock files in a folder of the test's own, for the terminal of a pseudo-terminal.
class LockFolder {
public:
    explicit LockFolder(mode_t mode = 01777) {
        char pattern[] = "/tmp/orvane-locks-XXXXXX";
        folder_ = mkdtemp(pattern) != nullptr ? pattern : "";
        chmod(folder_.c_str(), mode);
        std::string name = pty_.path().substr(std::strlen("/dev/"));
        std::replace(name.begin(), name.end(), '/', '_');
        lock_ = folder_ + "/LCK.." + name;
        fd_ = open(pty_.path().c_str(), O_RDWR | O_NOCTTY);
    }
    ~LockFolder() {
        close(fd_);
        std::filesystem::remove_all(folder_);
    }
    void Write(const std::string& content, mode_t mode = 0644) const {
        std::ofstream(lock_, std::ios::binary) << content;
        chmod(lock_.c_str(), mode);
    }
    std::string Content() const {
        std::ifstream in(lock_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    HW::Platform::LockResult Take() const {
        return HW::Platform::TakeLockFile(fd_, folder_.c_str());
    }
    PtyPair& pty() { return pty_; }
    int fd() const { return fd_; }
    const std::string& lock() const { return lock_; }
    const std::string& folder() const { return folder_; }
    // What TakeLockFile says as `uid` in a child: its outcome's number, then its text.
    std::string TakeAs(uid_t uid) const {
        int report[2];
        if (pipe(report) != 0) {
            return {};
        }
        const pid_t child = Spawn(uid, [&] {
            const HW::Platform::LockResult result = Take();
            const std::string text = std::to_string(static_cast<int>(result.outcome)) + result.text;
            return write(report[1], text.data(), text.size()) >= 0 ? 0 : 2;
        });
        close(report[1]);
        char text[512] = {};
        (void)!read(report[0], text, sizeof text - 1);
        close(report[0]);
        return ExitCode(child) == 0 ? text : "";
    }

private:
    PtyPair pty_;
    std::string folder_;
    std::string lock_;
    int fd_ = -1;
};

std::string AsciiLock(pid_t pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return text;
}

std::string BinaryLock(pid_t pid) {
    const std::int32_t value = pid;
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

pid_t GonePid() {
    const pid_t gone = fork();
    if (gone == 0) {
        _exit(0);
    }
    ExitCode(gone);
    return gone;
}

struct LockCase {
    const char* name;
    std::string (*content)();
    bool held;
};

class LockFileTest : public testing::TestWithParam<LockCase> {};

// A lock file naming a live process keeps the port; any other is replaced by this
// process's own, which the close removes even when the device node went first.
TEST_P(LockFileTest, LiveHolderKeepsThePortAnyOtherMakesWay) {
    const LockCase& c = GetParam();
    LockFolder locks;
    const std::string before = c.content();
    locks.Write(before);
    const HW::Platform::LockResult result = locks.Take();
    if (c.held) {
        EXPECT_EQ(result.outcome, HW::Platform::LockOutcome::Held);
        EXPECT_NE(result.text.find("process 1 "), std::string::npos) << result.text;
        EXPECT_EQ(locks.Content(), before);
        return;
    }
    EXPECT_EQ(result.outcome, HW::Platform::LockOutcome::Taken);
    EXPECT_EQ(locks.Content(), AsciiLock(getpid()));
    locks.pty().HangUp();
    HW::Platform::ReleaseLockFile(locks.fd());
    EXPECT_FALSE(std::filesystem::exists(locks.lock()));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, LockFileTest,
    testing::Values(LockCase{"AsciiLive", [] { return AsciiLock(1); }, true},
                    LockCase{"BinaryLive", [] { return BinaryLock(1); }, true},
                    LockCase{"AsciiDead", [] { return AsciiLock(GonePid()); }, false},
                    LockCase{"BinaryDead", [] { return BinaryLock(GonePid()); }, false},
                    LockCase{"Garbage", [] { return std::string("lock\n"); }, false},
                    LockCase{"Empty", [] { return std::string(); }, false},
                    LockCase{"PidZero", [] { return AsciiLock(0); }, false}),
    [](const testing::TestParamInfo<LockCase>& info) { return std::string(info.param.name); });

TEST(LockFile, UnreadableOneKeepsThePortAndSaysWhose) {
    if (geteuid() != kRoot) {
        GTEST_SKIP() << "needs root to leave a file another user cannot read";
    }
    LockFolder locks;
    locks.Write(AsciiLock(GonePid()), 0600);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = Spawn(kNobody, [&] {
        const HW::Platform::LockResult result = locks.Take();
        const std::string text =
            result.outcome == HW::Platform::LockOutcome::Held ? result.text : "";
        return write(report[1], text.data(), text.size()) >= 0 ? 0 : 2;
    });
    close(report[1]);
    char text[512] = {};
    (void)!read(report[0], text, sizeof text - 1);
    close(report[0]);
    EXPECT_EQ(ExitCode(child), 0);
    EXPECT_EQ(std::string(text), locks.lock() + " of user root cannot be read");
}

// A lock file that another program makes while this one takes its own: never both.
TEST(LockFile, OneOwnerWhenAnotherProgramLocksAtTheSameMoment) {
    LockFolder locks;
    int ours = 0;
    int theirs = 0;
    for (int race = 0; race < 100; ++race) {
        int go[2], result[2];
        ASSERT_EQ(pipe(go) | pipe(result), 0);
        const pid_t other = Spawn(kRoot, [&] {
            char byte = 0;
            (void)!read(go[0], &byte, 1);
            const int f = open(locks.lock().c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            const std::string text = AsciiLock(getpid());
            const char made = f >= 0 && write(f, text.data(), text.size()) == 10 + 1;
            (void)!write(result[1], &made, 1);
            pause();
            return 0;
        });
        ASSERT_EQ(write(go[1], "g", 1), 1);
        const bool taken = locks.Take().outcome == HW::Platform::LockOutcome::Taken;
        char made = 0;
        ASSERT_EQ(read(result[0], &made, 1), 1);
        EXPECT_FALSE(taken && made) << "race " << race << ": both own the port";
        ours += taken ? 1 : 0;
        theirs += made;
        if (taken) {
            HW::Platform::ReleaseLockFile(locks.fd());
        }
        kill(other, SIGKILL);
        ExitCode(other);
        unlink(locks.lock().c_str());
        for (int fd : {go[0], go[1], result[0], result[1]}) {
            close(fd);
        }
    }
    EXPECT_EQ(ours + theirs, 100);
}

// A user who may not write the lock folder (root's, mode 0755) still reads the lock files
// in it: a live or unreadable one refuses the port and the refusal says the folder cannot be
// written; with none there the open goes on without one and says why.
struct UnwritableCase {
    const char* name;
    std::string (*content)();
    mode_t mode;
    HW::Platform::LockOutcome outcome;
    const char* says;
};

class UnwritableFolderTest : public testing::TestWithParam<UnwritableCase> {};

TEST_P(UnwritableFolderTest, LockFilesAreReadAndTheFolderNamed) {
    if (geteuid() != kRoot) {
        GTEST_SKIP() << "needs root to make a folder another user cannot write";
    }
    const UnwritableCase& c = GetParam();
    const LockFolder locks(0755);
    if (c.content != nullptr) {
        locks.Write(c.content(), c.mode);
    }
    const std::string said = locks.TakeAs(kNobody);
    ASSERT_FALSE(said.empty());
    EXPECT_EQ(said[0] - '0', static_cast<int>(c.outcome)) << said;
    EXPECT_NE(said.find(c.says), std::string::npos) << said;
    EXPECT_NE(said.find(locks.folder() + " cannot be written"), std::string::npos) << said;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, UnwritableFolderTest,
    testing::Values(UnwritableCase{"Ascii", [] { return AsciiLock(1); }, 0644,
                                   HW::Platform::LockOutcome::Held, "names process 1 "},
                    UnwritableCase{"Binary", [] { return BinaryLock(1); }, 0644,
                                   HW::Platform::LockOutcome::Held, "names process 1 "},
                    UnwritableCase{"Unreadable", [] { return AsciiLock(GonePid()); }, 0600,
                                   HW::Platform::LockOutcome::Held, "of user root cannot be read"},
                    UnwritableCase{"None", nullptr, 0, HW::Platform::LockOutcome::NotTaken,
                                   "Permission denied"}),
    [](const testing::TestParamInfo<UnwritableCase>& info) {
        return std::string(info.param.name);
    });

// Files in the lock folder that are not a live lock: a temporary file a killed program left
// (removed), temporary files planted under any name (ignored), a lock naming this process
// though it does not hold the port (stale: replaced), and a directory (refuses the port).
TEST(LockFile, LeftoversPlantedFilesOwnPidAndDirectories) {
    LockFolder locks;
    const std::string dead = locks.folder() + "/LTMP." + std::to_string(GonePid()) + ".0";
    std::vector<std::string> planted;
    for (int n = 0; n < 16; ++n) {
        planted.push_back(locks.folder() + "/LTMP." + std::to_string(getpid()) + "." +
                          std::to_string(n));
    }
    planted.push_back(locks.folder() + "/LTMP.1.0");
    for (const std::string& path : planted) {
        std::ofstream(path) << AsciiLock(1);
    }
    std::ofstream(dead) << AsciiLock(1);
    locks.Write(AsciiLock(getpid()));
    EXPECT_EQ(locks.Take().outcome, HW::Platform::LockOutcome::Taken);
    EXPECT_EQ(locks.Content(), AsciiLock(getpid()));
    EXPECT_FALSE(std::filesystem::exists(dead));
    for (const std::string& path : planted) {
        EXPECT_TRUE(std::filesystem::exists(path)) << path;
    }
    // Now it is ours: another open of the port by this process is refused.
    EXPECT_EQ(locks.Take().text, locks.lock() + " names this process");
    HW::Platform::ReleaseLockFile(locks.fd());

    ASSERT_TRUE(std::filesystem::create_directory(locks.lock()));
    const HW::Platform::LockResult result = locks.Take();
    EXPECT_EQ(result.outcome, HW::Platform::LockOutcome::Held);
    EXPECT_EQ(result.text, locks.lock() + " is a directory, not a lock file");
    EXPECT_TRUE(std::filesystem::is_directory(locks.lock()));
}

// A forked child that closes its copy of the port leaves the line as the parent has it;
// the parent's close puts back the settings the open found.
TEST(PortClose, RestoresTheLineAndAForkedChildsCloseLeavesItAlone) {
    PtyPair pty(/*raw=*/false);
    termios line{};
    ASSERT_EQ(tcgetattr(pty.slave(), &line), 0);
    cfsetispeed(&line, B9600);
    cfsetospeed(&line, B9600);
    line.c_iflag |= IXON | IXOFF;
    line.c_cflag |= CRTSCTS;
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &line), 0);
    termios found{};
    termios in_use{};
    termios after_child{};
    termios after{};
    ASSERT_EQ(tcgetattr(pty.slave(), &found), 0);
    {
        HW::IO::SerialStream stream(pty.path().c_str(), true);
        ASSERT_TRUE(stream.good());
        ASSERT_EQ(tcgetattr(pty.slave(), &in_use), 0);
        EXPECT_EQ(cfgetospeed(&in_use), B115200);
        const pid_t child = fork();
        if (child == 0) {
            BufferOf(stream)->Close();
            _exit(0);
        }
        ASSERT_EQ(ExitCode(child), 0);
        ASSERT_EQ(tcgetattr(pty.slave(), &after_child), 0);
        EXPECT_EQ(std::memcmp(&in_use, &after_child, sizeof in_use), 0)
            << "the child's close changed the line";
        HW::Devices::Varnix3(stream).SendDeviceWakeup();
        EXPECT_EQ(pty.Pending(100), std::vector<std::uint8_t>{0x0A})
            << "the port is still the parent's";
    }
    ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
    EXPECT_EQ(std::memcmp(&found, &after, sizeof found), 0) << "the line was not put back";
}

TEST(LockFile, NoneTakenForPseudoTerminals) {
    PtyPair pty;
    const HW::IO::SerialStream stream(pty.path().c_str(), true);
    std::string name = pty.path().substr(std::strlen("/dev/"));
    std::replace(name.begin(), name.end(), '/', '_');
    EXPECT_FALSE(std::filesystem::exists(std::string(HW::Platform::kLockFolder) + "/LCK.." + name));
}
