// Who else has a port open, seen through /proc, and the lock files of the lock folder.
// Nothing stays behind but this process's own lock file.
#include "posix/PortHolders.h"

#include "platform/Platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
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
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
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

// A process seen holding the port is looked at again this long before it counts: another
// opener of this library that lost the flock race closes its descriptor at once.
constexpr std::chrono::milliseconds kSettle{100};
constexpr std::chrono::milliseconds kSettleStep{2};
// A lock file found empty may be one whose writer has not written yet.
constexpr std::chrono::milliseconds kEmptyLockGrace{20};
constexpr int kLockAttempts = 4;
// Files looked up by number that turn out closed before a table's folder is listed instead.
constexpr int kProbeMisses = 4;
// Tables this large are looked up by number first; smaller ones are cheaper listed whole.
constexpr off_t kProbeFrom = 24;
// Among this many processes a scan is split between two threads.
constexpr std::size_t kParallelScanFrom = 256;

// Keeps errno as the caller left it: these checks must not change what an open reports.
class ErrnoKeeper {
public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }

private:
    int saved_;
};

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// A directory read straight from the kernel in large batches: a folder of /proc that a
// batch did not fill is complete, which saves the second read that would find its end.
class Directory {
public:
    // Takes over `fd` (an open directory); empty when it is not one.
    explicit Directory(Descriptor&& fd) : fd_(fd.release()) {}
    ~Directory() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;
    explicit operator bool() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // The next entry other than "." and ".."; nullptr at the end.
    const char* Next() {
        for (;;) {
            if (at_ >= size_) {
                if (complete_) {
                    return nullptr;
                }
                const long n = syscall(SYS_getdents64, fd_, buffer_, sizeof buffer_);
                if (n <= 0) {
                    complete_ = true;
                    return nullptr;
                }
                size_ = static_cast<std::size_t>(n);
                at_ = 0;
                complete_ = size_ + kLongestEntry < sizeof buffer_;
            }
            const auto* e = reinterpret_cast<const Entry*>(buffer_ + at_);
            at_ += e->length;
            if (std::strcmp(e->name, ".") != 0 && std::strcmp(e->name, "..") != 0) {
                return e->name;
            }
        }
    }

private:
    // The kernel's linux_dirent64.
    struct Entry {
        std::uint64_t inode;
        std::int64_t offset;
        unsigned short length;
        unsigned char type;
        char name[1];
    };
    static constexpr std::size_t kLongestEntry = 280;  // a 255-byte name and the header

    int fd_;
    alignas(Entry) char buffer_[8192];
    std::size_t size_ = 0;
    std::size_t at_ = 0;
    bool complete_ = false;
};

Descriptor OpenDirectory(int at, const char* name) {
    return Descriptor(openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool IsPtySlave(dev_t rdev) {
    return major(rdev) >= kPtySlaveMajor && major(rdev) < kPtySlaveMajor + kPtySlaveMajors;
}

long PtyNumber(dev_t rdev) {
    return static_cast<long>((major(rdev) - kPtySlaveMajor) * kPtySlavesPerMajor + minor(rdev));
}

// What identifies a device file: its type, device number and file system.
struct FileId {
    mode_t mode = 0;
    dev_t rdev = 0;
    dev_t dev = 0;
};

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
// only within its own devpts file system, so those must also sit on the same one.
bool SameTerminal(const FileId& file, const struct stat& port) {
    return S_ISCHR(file.mode) && file.rdev == port.st_rdev &&
           (!IsPtySlave(port.st_rdev) || file.dev == port.st_dev);
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

// One terminal that a process has open: the file, and for a pseudo-terminal master the
// number of the terminal it leads to.
struct OpenTerminal {
    pid_t pid = 0;
    FileId file;
    long master_of = -1;
};

using Terminals = std::vector<OpenTerminal>;

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
    if (port == nullptr || master || SameTerminal(file, *port)) {
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

// The processes in `pids` (names of /proc folders), scanned one after the other.
void ScanProcesses(int proc_fd, const std::vector<pid_t>& pids, std::size_t from, std::size_t to,
                   const struct stat* port, Terminals& out) {
    char name[24];
    for (std::size_t i = from; i < to; ++i) {
        std::snprintf(name, sizeof name, "%d", static_cast<int>(pids[i]));
        const Descriptor pid_dir = OpenDirectory(proc_fd, name);
        if (pid_dir.get() >= 0) {
            ScanProcess(pid_dir.get(), pids[i], port, out);
        }
    }
}

Terminals ScanAll(const struct stat* port) {
    Terminals found;
    Directory proc(OpenDirectory(AT_FDCWD, "/proc"));
    if (!proc) {
        return found;
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
    // Nearly all of a scan is the kernel looking up each process's files, work that runs
    // on every CPU at once: among many processes a second thread takes half of them.
    const std::size_t half =
        pids.size() >= kParallelScanFrom && std::thread::hardware_concurrency() > 1
            ? pids.size() / 2
            : pids.size();
    Terminals second;
    std::thread helper;
    if (half < pids.size()) {
        try {
            helper = std::thread([&] {
                const ErrnoKeeper keep;
                ScanProcesses(proc.fd(), pids, half, pids.size(), port, second);
            });
        } catch (const std::system_error&) {
            // No thread to be had: this one scans them all.
        }
    }
    ScanProcesses(proc.fd(), pids, 0, helper.joinable() ? half : pids.size(), port, found);
    if (helper.joinable()) {
        helper.join();
        found.insert(found.end(), second.begin(), second.end());
    }
    return found;
}

// The processes among `terminals` that hold the port other than as its device end.
std::vector<pid_t> HoldersOf(const Terminals& terminals, const struct stat& port) {
    const bool pty = IsPtySlave(port.st_rdev);
    std::vector<pid_t> holding;
    std::vector<pid_t> device_ends;
    for (const OpenTerminal& t : terminals) {
        if (SameTerminal(t.file, port)) {
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

// The port's lock file: its path under /dev with '/' turned into '_' (LCK..ttyACM0,
// LCK..pts_3), or its file name where it lies elsewhere. Empty when the path is unknown.
std::string LockPath(int fd, const char* folder) {
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    char target[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) {
        return {};
    }
    std::string name(target, static_cast<std::size_t>(n));
    constexpr std::string_view kDev = "/dev/";
    if (name.starts_with(kDev)) {
        name.erase(0, kDev.size());
    } else {
        name.erase(0, name.rfind('/') + 1);
    }
    for (char& c : name) {
        c = c == '/' ? '_' : c;
    }
    return std::string(folder) + "/LCK.." + name;
}

enum class LockFile { Missing, Unreadable, Names, Malformed };

// The pid in a lock file's text: ten ASCII digits padded with spaces and a newline, or (from
// older programs) the pid as four binary bytes. 0 when the text names no process.
pid_t ParseLock(const char* text, std::size_t n) {
    const auto is_text = [](char c) {
        return (c >= '0' && c <= '9') || c == ' ' || c == '\n' || c == '\t' || c == '\r';
    };
    if (n == sizeof(std::int32_t) && !std::all_of(text, text + n, is_text)) {
        std::int32_t pid = 0;
        std::memcpy(&pid, text, sizeof pid);
        return pid > 0 ? static_cast<pid_t>(pid) : 0;
    }
    if (!std::all_of(text, text + n, is_text)) {
        return 0;
    }
    std::size_t i = 0;
    while (i < n && text[i] == ' ') {
        ++i;
    }
    long long pid = 0;
    std::size_t digits = 0;
    for (; i < n && text[i] >= '0' && text[i] <= '9' && digits < 12; ++i, ++digits) {
        pid = pid * 10 + (text[i] - '0');
    }
    for (; i < n; ++i) {
        if (text[i] >= '0' && text[i] <= '9') {
            return 0;  // two numbers, or one too long for a pid
        }
    }
    return digits > 0 && pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
}

LockFile ReadLock(const std::string& path, pid_t& pid, uid_t& owner) {
    pid = 0;
    for (int look = 0; look < 2; ++look) {
        const Descriptor f(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        struct stat info {};
        if (f.get() < 0) {
            const int error = errno;
            if (error == ENOENT) {
                return LockFile::Missing;
            }
            owner = lstat(path.c_str(), &info) == 0 ? info.st_uid : static_cast<uid_t>(-1);
            return error == ELOOP ? LockFile::Malformed : LockFile::Unreadable;
        }
        owner = fstat(f.get(), &info) == 0 ? info.st_uid : static_cast<uid_t>(-1);
        if (!S_ISREG(info.st_mode)) {
            return LockFile::Malformed;
        }
        char text[64];
        const ssize_t n = read(f.get(), text, sizeof text);
        if (n < 0) {
            return LockFile::Unreadable;
        }
        if (n == 0 && look == 0) {
            std::this_thread::sleep_for(kEmptyLockGrace);  // its writer may be on the way
            continue;
        }
        pid = ParseLock(text, static_cast<std::size_t>(n));
        return pid != 0 ? LockFile::Names : LockFile::Malformed;
    }
    return LockFile::Malformed;
}

bool Alive(pid_t pid) {
    return kill(pid, 0) == 0 || errno == EPERM;
}

std::string UserName(uid_t uid) {
    if (uid == static_cast<uid_t>(-1)) {
        return "an unknown user";
    }
    passwd entry{};
    passwd* found = nullptr;
    char buffer[1024];
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        return std::string("user ") + found->pw_name;
    }
    return "user " + std::to_string(uid);
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

// Makes `path` appear with `text` in it, or not at all: the text goes into a file of this
// process's own, which is then linked into place. 0, or the error of the step that failed
// (EEXIST when a lock file is there already).
int Publish(const std::string& path, const std::string& text) {
    static std::atomic<unsigned> counter{0};
    const std::string folder = path.substr(0, path.rfind('/') + 1);
    const std::string own =
        folder + "LTMP." + std::to_string(getpid()) + "." + std::to_string(counter++);
    {
        const Descriptor f(
            open(own.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (f.get() < 0) {
            return errno;
        }
        fchmod(f.get(), 0644);  // whatever the umask, other programs must read whose it is
        if (write(f.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            const int error = errno != 0 ? errno : EIO;
            unlink(own.c_str());
            return error;
        }
    }
    const int linked = link(own.c_str(), path.c_str()) == 0 ? 0 : errno;
    unlink(own.c_str());
    return linked;
}

// The lock files this process holds, by port descriptor. Named at the open: by the close the
// device node may be gone (unplugged, or the far end of a pseudo-terminal closed), and the
// descriptor's path with it. A fork in the middle of an update leaves the child's copy usable.
class OwnLocks {
public:
    OwnLocks() {
        pthread_atfork([] { Owned().mutex_.lock(); }, [] { Owned().mutex_.unlock(); },
                       [] { Owned().mutex_.unlock(); });
    }
    void Add(int fd, std::string path) {
        const std::lock_guard<std::mutex> hold(mutex_);
        paths_[fd] = std::move(path);
    }
    std::string Take(int fd) {
        const std::lock_guard<std::mutex> hold(mutex_);
        const auto it = paths_.find(fd);
        if (it == paths_.end()) {
            return {};
        }
        std::string path = std::move(it->second);
        paths_.erase(it);
        return path;
    }
    static OwnLocks& Owned() {
        static OwnLocks locks;
        return locks;
    }

private:
    std::mutex mutex_;
    std::map<int, std::string> paths_;
};

thread_local std::shared_ptr<HolderScan> t_scan;

}  // namespace

// One look at every process's open terminals, taken when the first open needs it.
struct HolderScan {
    std::once_flag taken;
    Terminals terminals;
};

std::shared_ptr<HolderScan> NewHolderScan() {
    return std::make_shared<HolderScan>();
}

std::shared_ptr<HolderScan> UseHolderScan(std::shared_ptr<HolderScan> scan) {
    return std::exchange(t_scan, std::move(scan));
}

bool HeldElsewhere(int fd) {
    const ErrnoKeeper keep;
    struct stat port {};
    if (!isatty(fd) || fstat(fd, &port) != 0) {
        return false;
    }
    std::vector<pid_t> holders;
    if (t_scan) {
        HolderScan& scan = *t_scan;
        std::call_once(scan.taken, [&] { scan.terminals = ScanAll(nullptr); });
        holders = HoldersOf(scan.terminals, port);
    } else {
        holders = HoldersOf(ScanAll(&port), port);
    }
    // Each holder is looked at afresh: the shared look may be older than its close, and an
    // opener that lost the race lets go within moments.
    const auto settled = std::chrono::steady_clock::now() + kSettle;
    for (;;) {
        std::erase_if(holders, [&](pid_t pid) { return !StillHolds(pid, port); });
        if (holders.empty()) {
            return false;
        }
        if (std::chrono::steady_clock::now() >= settled) {
            return true;
        }
        std::this_thread::sleep_for(kSettleStep);
    }
}

bool IsPseudoTerminal(int fd) {
    struct stat port {};
    const ErrnoKeeper keep;
    return fstat(fd, &port) == 0 && S_ISCHR(port.st_mode) && IsPtySlave(port.st_rdev);
}

LockResult TakeLockFile(int fd, const char* lock_folder) {
    const ErrnoKeeper keep;
    const std::string lock = LockPath(fd, lock_folder);
    if (lock.empty()) {
        return {};
    }
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
    const std::string content(text, static_cast<std::size_t>(length));
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        const int published = Publish(lock, content);
        if (published == 0) {
            OwnLocks::Owned().Add(fd, lock);
            return {LockOutcome::Taken, {}};
        }
        if (published != EEXIST) {
            return {};  // a folder this process may not write: no lock file, as for others
        }
        pid_t pid = 0;
        uid_t owner = static_cast<uid_t>(-1);
        switch (ReadLock(lock, pid, owner)) {
            case LockFile::Missing:
                continue;  // removed meanwhile
            case LockFile::Unreadable:
                return {LockOutcome::Held, lock + " of " + UserName(owner) + " cannot be read"};
            case LockFile::Names:
                if (pid == getpid()) {
                    return {LockOutcome::Held, lock + " names this process"};
                }
                if (Alive(pid)) {
                    const std::string name = ProcessName(pid);
                    return {LockOutcome::Held, lock + " names process " + std::to_string(pid) +
                                                   (name.empty() ? "" : " (" + name + ")") +
                                                   " of " + UserName(owner)};
                }
                break;
            case LockFile::Malformed:
                break;
        }
        // Its program is gone, or it never named one: this process's file takes its place.
        if (unlink(lock.c_str()) != 0 && errno != ENOENT) {
            return {};
        }
    }
    return {LockOutcome::Held, lock + " keeps coming back"};
}

void ReleaseLockFile(int fd) {
    const ErrnoKeeper keep;
    const std::string lock = OwnLocks::Owned().Take(fd);
    pid_t pid = 0;
    uid_t owner = 0;
    if (!lock.empty() && ReadLock(lock, pid, owner) == LockFile::Names && pid == getpid()) {
        unlink(lock.c_str());
    }
}

}  // namespace Orvane::HardwareAPI::Platform
