// Who else has a port open, seen through /proc.
#include "posix/PortHolders.h"

#include <fcntl.h>
#include <linux/kcmp.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "linux/ProcFiles.h"
#include "posix/Descriptor.h"

namespace Orvane::HardwareAPI::Platform {
namespace {
// A process whose threads were seen not to run since its file table was read keeps that
// table. A thread that runs throughout shows its run time only at the scheduler's next tick:
// younger readings count only for threads that are not running now.
constexpr std::chrono::milliseconds kTickAtLeast{25};

using Clock = std::chrono::steady_clock;

// A process seen holding the port is looked at again this long before it counts: another
// opener of this library that lost the flock race closes its descriptor at once.
constexpr std::chrono::milliseconds kSettle{100};
constexpr std::chrono::milliseconds kSettleStep{
    2};  // Among this many processes a scan is split between two threads.
constexpr std::size_t kParallelScanFrom = 256;
// What shows whether a thread has run: its run time, its time waiting for a CPU and the
// number of times it got one. A file table changes only when a thread that uses it runs.
struct Sign {
    pid_t tid = 0;
    unsigned long long run = 0;
    unsigned long long wait = 0;
    unsigned long long turns = 0;
    bool operator==(const Sign&) const = default;
};

// Reads `path` (under /proc) into `text`; its length, or -1.
ssize_t ReadSmall(int proc_fd, const char* path, char* text, std::size_t size) {
    const Descriptor f(openat(proc_fd, path, O_RDONLY | O_CLOEXEC));
    const ssize_t n = f.get() < 0 ? -1 : read(f.get(), text, size - 1);
    text[n > 0 ? n : 0] = '\0';
    return n;
}

bool ReadSign(int proc_fd, pid_t pid, pid_t tid, Sign& sign) {
    char path[64];
    std::snprintf(path, sizeof path, "%d/task/%d/schedstat", static_cast<int>(pid),
                  static_cast<int>(tid));
    char text[96];
    sign.tid = tid;
    return ReadSmall(proc_fd, path, text, sizeof text) > 0 &&
           std::sscanf(text, "%llu %llu %llu", &sign.run, &sign.wait, &sign.turns) == 3 &&
           sign.turns != 0;  // all zero: the system keeps no such figures
}

// Whether thread `tid` is running or waiting for a CPU now (or cannot be told).
bool Runnable(int proc_fd, pid_t pid, pid_t tid) {
    char path[64];
    std::snprintf(path, sizeof path, "%d/task/%d/stat", static_cast<int>(pid),
                  static_cast<int>(tid));
    char text[512];
    if (ReadSmall(proc_fd, path, text, sizeof text) <= 0) {
        return true;
    }
    const char* at = std::strrchr(text, ')');
    return at == nullptr || at[1] != ' ' || at[2] == 'R' || at[2] == '\0';
}

// The threads of the process in `pid_dir`.
std::vector<pid_t> Threads(int pid_dir, pid_t pid) {
    struct stat tasks_info {};
    if (fstatat(pid_dir, "task", &tasks_info, 0) == 0 && tasks_info.st_nlink <= 3) {
        return {pid};
    }
    std::vector<pid_t> tids;
    Directory tasks(OpenDirectory(pid_dir, "task"));
    while (const char* name = tasks ? tasks.Next() : nullptr) {
        char* end = nullptr;
        const long tid = std::strtol(name, &end, 10);
        if (*end == '\0' && tid > 0) {
            tids.push_back(static_cast<pid_t>(tid));
        }
    }
    return tids;
}

// The terminals other processes had open when last looked at, with the signs read just
// before, so that a later look reads again only the tables of processes that ran since.
class KnownTables {
public:
    struct Entry {
        std::vector<Sign> signs;
        Clock::time_point read_at;
        Terminals terminals;
    };
    static KnownTables& Get() {
        static KnownTables tables;
        return tables;
    }
    // The terminals of `pid` if its threads have not run since they were read.
    bool Unchanged(int proc_fd, pid_t pid, Terminals& out) {
        Entry entry;
        {
            const std::lock_guard<std::mutex> hold(mutex_);
            const auto it = entries_.find(pid);
            if (it == entries_.end()) {
                return false;
            }
            entry = it->second;
        }
        const bool young = Clock::now() - entry.read_at < kTickAtLeast;
        for (const Sign& then : entry.signs) {
            Sign now;
            if (!ReadSign(proc_fd, pid, then.tid, now) || !(now == then) ||
                (young && Runnable(proc_fd, pid, then.tid))) {
                return false;
            }
        }
        out.insert(out.end(), entry.terminals.begin(), entry.terminals.end());
        return true;
    }
    void Store(pid_t pid, Entry entry) {
        const std::lock_guard<std::mutex> hold(mutex_);
        entries_[pid] = std::move(entry);
    }
    // Forgets the processes that are gone; `alive` is sorted.
    void Keep(const std::vector<pid_t>& alive) {
        const std::lock_guard<std::mutex> hold(mutex_);
        std::erase_if(entries_, [&](const auto& e) {
            return !std::binary_search(alive.begin(), alive.end(), e.first);
        });
    }

private:
    KnownTables() {
        pthread_atfork([] { Get().mutex_.lock(); }, [] { Get().mutex_.unlock(); },
                       [] { Get().mutex_.unlock(); });
    }
    std::mutex mutex_;
    std::unordered_map<pid_t, Entry> entries_;
};

// The terminals of process `pid`: those known from an earlier look if none of its threads
// has run since, else read afresh (signs first, so that what runs during the read shows).
void LookAtProcess(int proc_fd, pid_t pid, Terminals& out) {
    KnownTables& known = KnownTables::Get();
    if (known.Unchanged(proc_fd, pid, out)) {
        return;
    }
    char name[24];
    std::snprintf(name, sizeof name, "%d", static_cast<int>(pid));
    const Descriptor pid_dir = OpenDirectory(proc_fd, name);
    if (pid_dir.get() < 0) {
        return;
    }
    KnownTables::Entry entry;
    entry.read_at = Clock::now();
    bool signed_all = true;
    for (const pid_t tid : Threads(pid_dir.get(), pid)) {
        Sign sign;
        signed_all = signed_all && ReadSign(proc_fd, pid, tid, sign);
        entry.signs.push_back(sign);
    }
    ScanProcess(pid_dir.get(), pid, nullptr, entry.terminals);
    out.insert(out.end(), entry.terminals.begin(), entry.terminals.end());
    if (signed_all && !entry.signs.empty()) {
        known.Store(pid, std::move(entry));
    }
}

// The processes in `pids` (names of /proc folders), scanned one after the other until
// `deadline`; `late` says the scan was cut short, by this thread or another.
void ScanProcesses(int proc_fd, const std::vector<pid_t>& pids, std::size_t from, std::size_t to,
                   Clock::time_point deadline, std::atomic<bool>& late, Terminals& out) {
    for (std::size_t i = from; i < to; ++i) {
        if (late.load(std::memory_order_relaxed) || Clock::now() >= deadline) {
            late.store(true, std::memory_order_relaxed);
            return;
        }
        LookAtProcess(proc_fd, pids[i], out);
    }
}

// The terminals of every other process (all of them: the table of known ones serves any
// port); false when the scan could not end by `deadline`.
bool ScanAll(Clock::time_point deadline, Terminals& found) {
    Directory proc(OpenDirectory(AT_FDCWD, "/proc"));
    if (!proc) {
        return true;
    }
    const pid_t self = getpid();
    std::vector<pid_t> pids;
    while (const char* name = proc.Next()) {
        char* end = nullptr;
        const long pid = std::strtol(name, &end, 10);
        if (*end == '\0' && pid > 0 && pid != self) {
            pids.push_back(static_cast<pid_t>(pid));
        }
    }
    std::vector<pid_t> sorted = pids;
    std::sort(sorted.begin(), sorted.end());
    KnownTables::Get().Keep(sorted);
    // Nearly all of a scan is the kernel looking up each process's files, work that runs
    // on every CPU at once: among many processes a second thread takes half of them.
    const std::size_t half =
        pids.size() >= kParallelScanFrom && std::thread::hardware_concurrency() > 1
            ? pids.size() / 2
            : pids.size();
    Terminals second;
    std::atomic<bool> late{false};
    std::thread helper;
    if (half < pids.size()) {
        try {
            helper = std::thread([&] {
                const ErrnoKeeper keep;
                ScanProcesses(proc.fd(), pids, half, pids.size(), deadline, late, second);
            });
        } catch (const std::system_error&) {
            // No thread to be had: this one scans them all.
        }
    }
    ScanProcesses(proc.fd(), pids, 0, helper.joinable() ? half : pids.size(), deadline, late,
                  found);
    if (helper.joinable()) {
        helper.join();
        found.insert(found.end(), second.begin(), second.end());
    }
    return !late.load();
}

// The processes among `terminals` that hold the port other than as its device end.
std::vector<pid_t> HoldersOf(const Terminals& terminals, const struct stat& port) {
    const bool pty = IsPtySlave(port.st_rdev);
    std::vector<pid_t> holding;
    std::vector<pid_t> device_ends;
    for (const OpenTerminal& t : terminals) {
        // /dev/tty leads each process to its own controlling terminal.
        if (SameTerminal(t.file, port) ||
            (IsDevTty(t.file.rdev) && ControllingTerminal(t.pid) == port.st_rdev)) {
            holding.push_back(t.pid);
        } else if (pty && t.master_of >= 0 && t.master_of == PtyNumber(port.st_rdev)) {
            device_ends.push_back(t.pid);
        }
    }
    std::vector<pid_t> holders;
    for (const pid_t pid : holding) {
        if (std::find(device_ends.begin(), device_ends.end(), pid) == device_ends.end() &&
            std::find(holders.begin(), holders.end(), pid) == holders.end()) {
            holders.push_back(pid);
        }
    }
    return holders;
}

bool StillHolds(pid_t pid, const struct stat& port) {
    const Descriptor pid_dir = OpenDirectory(AT_FDCWD, ("/proc/" + std::to_string(pid)).c_str());
    if (pid_dir.get() < 0) {
        return false;
    }
    Terminals terminals;
    ScanProcess(pid_dir.get(), pid, &port, terminals);
    return !HoldersOf(terminals, port).empty();
}

}  // namespace

Holders HoldersOf(int fd, Clock::time_point deadline) {
    const ErrnoKeeper keep;
    struct stat port {};
    if (!isatty(fd) || fstat(fd, &port) != 0) {
        return Holders::None;
    }
    if (IsDevTty(port.st_rdev)) {
        // Opened through /dev/tty: the port is this process's controlling terminal, whose
        // file system is not known here.
        port.st_rdev = ControllingTerminal(getpid());
        port.st_dev = 0;
    }
    Terminals terminals;
    if (!ScanAll(deadline, terminals)) {
        return Holders::Unchecked;
    }
    std::vector<pid_t> holders = HoldersOf(terminals, port);
    // Each holder is looked at afresh: an opener that lost the race lets go within moments.
    const auto settled = std::min(deadline, Clock::now() + kSettle);
    for (;;) {
        std::erase_if(holders, [&](pid_t pid) { return !StillHolds(pid, port); });
        if (holders.empty()) {
            return Holders::None;
        }
        if (Clock::now() >= settled) {
            return Holders::Some;
        }
        std::this_thread::sleep_for(kSettleStep);
    }
}

bool IsPseudoTerminal(int fd) {
    struct stat port {};
    const ErrnoKeeper keep;
    return fstat(fd, &port) == 0 && S_ISCHR(port.st_mode) && IsPtySlave(port.st_rdev);
}

std::string DevicePath(int fd) {
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    char target[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

std::string ProcessName(pid_t pid) {
    const Descriptor f(
        open(("/proc/" + std::to_string(pid) + "/comm").c_str(), O_RDONLY | O_CLOEXEC));
    char text[64];
    const ssize_t n = f.get() < 0 ? -1 : read(f.get(), text, sizeof text);
    std::string name = n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string();
    while (!name.empty() && name.back() == '\n') {
        name.pop_back();
    }
    return name;
}

}  // namespace Orvane::HardwareAPI::Platform
