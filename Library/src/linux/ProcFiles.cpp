// The file tables of other processes, read from /proc.
#include "linux/ProcFiles.h"

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

namespace Orvane::HardwareAPI::Platform {
namespace {

// Pseudo-terminal slaves have majors 136 to 143; their masters are opened through ptmx.
constexpr unsigned kPtySlaveMajor = 136;
constexpr unsigned kPtySlaveMajors = 8;
constexpr unsigned kPtySlavesPerMajor = 256;
constexpr unsigned kPtmxMajor = 5;
constexpr unsigned kPtmxMinor = 2;
constexpr char kTtyIndexKey[] = "tty-index:";
// /dev/tty: whatever terminal the opening process has as its controlling terminal.
constexpr unsigned kTtyMajor = 5;
constexpr unsigned kTtyMinor = 0;
constexpr unsigned kMemoryMajor = 1;
// Files looked up by number that turn out closed before a table's folder is listed instead.
constexpr int kProbeMisses = 4;
// Tables this large are looked up by number first; smaller ones are cheaper listed whole.
constexpr off_t kProbeFrom = 24;

}  // namespace

Descriptor OpenDirectory(int at, const char* name) {
    return Descriptor(openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool IsPtySlave(dev_t rdev) {
    return major(rdev) >= kPtySlaveMajor && major(rdev) < kPtySlaveMajor + kPtySlaveMajors;
}

long PtyNumber(dev_t rdev) {
    return static_cast<long>((major(rdev) - kPtySlaveMajor) * kPtySlavesPerMajor + minor(rdev));
}

// Another process's open file by its /proc entry. Cached attributes do: asking the file
// system could wait on a stalled network or user-space mount that has nothing to do with
// the port.
bool IdOf(int fd_dir, const char* name, FileId& id) {
    struct statx x {};
    if (statx(fd_dir, name, AT_STATX_DONT_SYNC, STATX_TYPE, &x) != 0) {
        return false;
    }
    id = {x.stx_mode, makedev(x.stx_rdev_major, x.stx_rdev_minor),
          makedev(x.stx_dev_major, x.stx_dev_minor)};
    return true;
}

// The same terminal: the same device number. A pseudo-terminal slave's number means something
// only within its own devpts file system, so those must also sit on the same one (a port
// reached through /dev/tty has st_dev 0: its file system is unknown, any counts).
bool SameTerminal(const FileId& file, const struct stat& port) {
    return S_ISCHR(file.mode) && file.rdev == port.st_rdev &&
           (!IsPtySlave(port.st_rdev) || port.st_dev == 0 || file.dev == port.st_dev);
}

bool IsDevTty(dev_t rdev) {
    return rdev == makedev(kTtyMajor, kTtyMinor);
}

// The controlling terminal of process `pid` (the terminal its /dev/tty leads to); 0 if none.
dev_t ControllingTerminal(pid_t pid) {
    const Descriptor f(
        open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
    char text[1024];
    const ssize_t n = f.get() < 0 ? -1 : read(f.get(), text, sizeof text - 1);
    if (n <= 0) {
        return 0;
    }
    text[n] = '\0';
    // The name in parentheses may hold anything; the fields after it are state, parent,
    // process group, session and then the terminal's number.
    const char* at = std::strrchr(text, ')');
    long long fields[5] = {};
    char state = 0;
    if (at == nullptr || std::sscanf(at + 1, " %c %lld %lld %lld %lld", &state, &fields[0],
                                     &fields[1], &fields[2], &fields[3]) != 5) {
        return 0;
    }
    const auto number = static_cast<unsigned long long>(fields[3]);
    const auto major_number = static_cast<unsigned>((number >> 8) & 0xfff);
    const auto minor_number = static_cast<unsigned>((number & 0xff) | ((number >> 12) & 0xfff00));
    return number == 0 ? 0 : makedev(major_number, minor_number);
}

// The pseudo-terminal a master descriptor of the task in `task_dir` leads to; -1 if unknown.
long MasterNumber(int task_dir, const char* fd_name) {
    const std::string info = std::string("fdinfo/") + fd_name;
    const Descriptor f(openat(task_dir, info.c_str(), O_RDONLY | O_CLOEXEC));
    char text[512];
    const ssize_t n = f.get() < 0 ? -1 : read(f.get(), text, sizeof text - 1);
    if (n <= 0) {
        return -1;
    }
    text[n] = '\0';
    const char* at = std::strstr(text, kTtyIndexKey);
    return at == nullptr ? -1 : std::strtol(at + sizeof kTtyIndexKey - 1, nullptr, 10);
}

bool IsMaster(const FileId& file) {
    return file.rdev == makedev(kPtmxMajor, kPtmxMinor);
}

enum class Table { Listed, Empty, Denied };

// Notes the file `entry` (under `at`) of the table of the task in `task_dir`; false when the
// table may not be looked at.
bool Note(int at, const char* entry, int task_dir, const char* fd_name, pid_t pid,
          const struct stat* port, Terminals& out, bool& present) {
    FileId file;
    present = IdOf(at, entry, file);
    if (!present) {
        return errno != EACCES && errno != EPERM;
    }
    if (!S_ISCHR(file.mode)) {
        return true;
    }
    const bool master = IsMaster(file);
    // Without a port every character device is kept but the memory devices (/dev/null and
    // the like), which are never terminals.
    if ((port == nullptr && major(file.rdev) != kMemoryMajor) || master ||
        (port != nullptr && SameTerminal(file, *port)) || IsDevTty(file.rdev)) {
        out.push_back({pid, file, master ? MasterNumber(task_dir, fd_name) : -1});
    }
    return true;
}

// Adds the terminals open in the file table of the task in `task_dir` (a process folder, or
// one of its task folders) to `out`: all of them, or with `port` only that port and
// pseudo-terminal masters. A table whose files may not be looked at (another user's process,
// one this process may not trace) is given up at its first entry.
//
// The kernel gives the number of open files as the size of the fd folder, and a table is
// mostly filled from 0 up: that many files are looked up by number, which spares listing
// them, and the folder is then listed from the first number not looked up. Each file open
// throughout is seen either way, as when the whole folder is listed; an older kernel that
// gives no size has the whole folder listed.
Table ScanFileTable(int task_dir, pid_t pid, const struct stat* port, Terminals& out) {
    Descriptor fds(OpenDirectory(task_dir, "fd"));
    if (fds.get() < 0) {
        return Table::Denied;  // gone meanwhile, or not ours to look into
    }
    struct stat folder {};
    const off_t open_files = fstat(fds.get(), &folder) == 0 ? folder.st_size : 0;
    Table seen = Table::Empty;
    off_t found = 0;
    int misses = 0;
    int number = 0;
    for (; open_files >= kProbeFrom && found < open_files && misses < kProbeMisses; ++number) {
        char name[16];
        *std::to_chars(name, name + sizeof name - 1, number).ptr = '\0';
        bool present = false;
        if (!Note(fds.get(), name, task_dir, name, pid, port, out, present)) {
            return Table::Denied;
        }
        found += present ? 1 : 0;
        misses += present ? 0 : 1;
    }
    if (found > 0) {
        seen = Table::Listed;
    }
    // The listing goes on from `number`: entry positions are file numbers past "." and "..".
    // Should the folder not move there, it is listed from the start past those looked up.
    if (number > 0) {
        lseek(fds.get(), number + 2, SEEK_SET);
    }
    Directory rest(std::move(fds));
    while (const char* name = rest.Next()) {
        int listed = -1;
        std::from_chars(name, name + std::strlen(name), listed);
        if (listed >= 0 && listed < number) {
            continue;
        }
        seen = Table::Listed;
        bool present = false;
        if (!Note(rest.fd(), name, task_dir, name, pid, port, out, present)) {
            return Table::Denied;
        }
    }
    return seen;
}

bool SharesFiles(pid_t a, pid_t b) {
    return syscall(SYS_kcmp, a, b, KCMP_FILES, 0, 0) == 0;
}

// The terminals of every thread of the process in `pid_dir`. Threads normally share one file
// table, but one that unshared its own holds files the process folder does not list, and
// when the main thread has exited that folder lists nothing while its other threads go on.
void ScanProcess(int pid_dir, pid_t pid, const struct stat* port, Terminals& out) {
    const Table leader = ScanFileTable(pid_dir, pid, port, out);
    if (leader == Table::Denied) {
        return;  // its threads' tables are no more ours to look into
    }
    const bool leader_listed = leader == Table::Listed;
    // The task folder counts its threads in its link count: two plus one per thread.
    struct stat tasks_info {};
    if (leader_listed && fstatat(pid_dir, "task", &tasks_info, 0) == 0 &&
        tasks_info.st_nlink <= 3) {
        return;  // one thread: its table was just read
    }
    Directory tasks(OpenDirectory(pid_dir, "task"));
    if (!tasks) {
        return;
    }
    std::vector<pid_t> read_tables;
    if (leader_listed) {
        read_tables.push_back(pid);
    }
    while (const char* name = tasks.Next()) {
        char* end = nullptr;
        const long tid = std::strtol(name, &end, 10);
        if (*end != '\0' || tid <= 0 || tid == pid) {
            continue;
        }
        bool known = false;
        for (const pid_t other : read_tables) {
            known = known || SharesFiles(other, static_cast<pid_t>(tid));
        }
        const Descriptor task_dir = known ? Descriptor(-1) : OpenDirectory(tasks.fd(), name);
        const Table table =
            task_dir.get() < 0 ? Table::Empty : ScanFileTable(task_dir.get(), pid, port, out);
        if (table == Table::Denied) {
            return;
        }
        if (table == Table::Listed) {
            read_tables.push_back(static_cast<pid_t>(tid));
        }
    }
}

}  // namespace Orvane::HardwareAPI::Platform
