#include "platform/ZeroGuardProcess.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern char** environ;

namespace Orvane::HardwareAPI::Platform {
namespace {

constexpr const char* kHelperName = "orvane-zero-guard";
// The helper's descriptors, as it expects them.
constexpr int kHelperPort = 3;
constexpr int kHelperChannel = 4;
// Starting takes a millisecond or so; a busy machine gets far more than that.
constexpr int kReadyWaitMs = 5000;
constexpr int kExitWaitMs = 2000;

bool Executable(const std::string& path) {
    return !path.empty() && access(path.c_str(), X_OK) == 0;
}

// Where the helper is: named by ORVANE_ZERO_GUARD; beside the shared object that holds this
// code (the Python package ships it there); where the C++ package installs it; where this
// build made it. "" when none of them has it.
std::string HelperPath() {
    if (const char* named = std::getenv("ORVANE_ZERO_GUARD"); named != nullptr && *named) {
        return named;
    }
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&StartZeroGuard), &self) != 0 && self.dli_fname != nullptr) {
        std::string beside(self.dli_fname);
        const std::size_t slash = beside.rfind('/');
        beside = (slash == std::string::npos ? std::string(".") : beside.substr(0, slash)) + "/" +
                 kHelperName;
        if (Executable(beside)) {
            return beside;
        }
    }
#ifdef ORVANE_ZERO_GUARD_INSTALLED
    if (Executable(ORVANE_ZERO_GUARD_INSTALLED)) {
        return ORVANE_ZERO_GUARD_INSTALLED;
    }
#endif
#ifdef ORVANE_ZERO_GUARD_BUILT
    if (Executable(ORVANE_ZERO_GUARD_BUILT)) {
        return ORVANE_ZERO_GUARD_BUILT;
    }
#endif
    return {};
}

void Reap(pid_t pid) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Waits up to `ms` for the helper's exit; false when it is still running. A helper someone
// else reaped (a program that waits for any child, or ignores SIGCHLD) has exited as well.
bool ReapWithin(pid_t pid, int ms) {
    constexpr long kStepNs = 100'000;
    for (long waited = 0;; waited += kStepNs) {
        const pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            return true;
        }
        if (waited >= ms * 1'000'000L) {
            return false;
        }
        const timespec step{0, kStepNs};
        nanosleep(&step, nullptr);
    }
}

// Until the helper's end of the socket closes, which it does as it exits.
void AwaitHangUp(int channel, int ms) {
    pollfd p{channel, POLLIN, 0};
    char discard[16];
    for (;;) {
        const int polled = poll(&p, 1, ms);
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0) {
            return;
        }
        const ssize_t n = recv(channel, discard, sizeof discard, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            return;
        }
    }
}

bool Fail(char* why, std::size_t size, const char* what, int error) {
    std::snprintf(why, size, "%s%s%s", what, error != 0 ? ": " : "",
                  error != 0 ? std::strerror(error) : "");
    return false;
}

}  // namespace

bool StartZeroGuard(IO::PortHandle port, bool realtime, ZeroGuardProcess& guard, char* why,
                    std::size_t size) {
    guard = {};
    const std::string path = HelperPath();
    if (path.empty()) {
        std::snprintf(why, size,
                      "%s, the process that zeroes the arm when the program dies, is not "
                      "installed beside the library (or named by ORVANE_ZERO_GUARD)",
                      kHelperName);
        return false;
    }
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return Fail(why, size, "no socket for the zero guard", errno);
    }
    // Above the helper's numbers, so that placing one cannot overwrite the other.
    const int port_copy = fcntl(static_cast<int>(port), F_DUPFD_CLOEXEC, kHelperChannel + 1);
    const int channel_copy = fcntl(ends[1], F_DUPFD_CLOEXEC, kHelperChannel + 1);
    close(ends[1]);
    posix_spawn_file_actions_t files;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&files);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&files, port_copy, kHelperPort);
    posix_spawn_file_actions_adddup2(&files, channel_copy, kHelperChannel);
    // Its own process group: Ctrl-C and job control signals for the program's group do not
    // reach it; its signals start from their defaults and unblocked, whatever this thread has.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    char realtime_flag[] = "--realtime";
    char* const argv[] = {const_cast<char*>(kHelperName), realtime ? realtime_flag : nullptr,
                          nullptr};
    pid_t pid = -1;
    const int spawned = port_copy < 0 || channel_copy < 0
                            ? EMFILE
                            : posix_spawn(&pid, path.c_str(), &files, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    if (port_copy >= 0) {
        close(port_copy);
    }
    if (channel_copy >= 0) {
        close(channel_copy);
    }
    if (spawned != 0) {
        close(ends[0]);
        return Fail(why, size, "the zero guard process could not be started", spawned);
    }
    guard.channel = ends[0];
    guard.pid = pid;
    // Covered only once it watches: its word says so, its exit says it could not.
    pollfd ready{ends[0], POLLIN, 0};
    int polled;
    while ((polled = poll(&ready, 1, kReadyWaitMs)) < 0 && errno == EINTR) {
    }
    char word = 0;
    if (polled != 1 || recv(ends[0], &word, 1, MSG_DONTWAIT) != 1 || word != 'r') {
        EndZeroGuard(guard);
        return Fail(why, size, "the zero guard process did not start watching", 0);
    }
    return true;
}

void TellZeroSent(int channel) {
    if (channel >= 0) {
        const char word = 'z';
        [[maybe_unused]] const ssize_t n = send(channel, &word, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
}

void EndZeroGuard(ZeroGuardProcess& guard) {
    if (guard.channel >= 0) {
        TellZeroSent(guard.channel);
        AwaitHangUp(guard.channel, kExitWaitMs);
        close(guard.channel);
    }
    if (guard.pid > 0) {
        const pid_t pid = static_cast<pid_t>(guard.pid);
        // Still unreaped here, so the number is still this helper's.
        if (!ReapWithin(pid, kExitWaitMs)) {
            kill(pid, SIGKILL);
            Reap(pid);
        }
    }
    guard = {};
}

}  // namespace Orvane::HardwareAPI::Platform
