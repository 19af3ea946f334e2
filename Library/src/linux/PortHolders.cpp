// Who else has a port open, seen through /proc, and the lock files of the lock folder.
// All of it runs once per open; nothing stays behind but this process's own lock file.
#include "posix/PortHolders.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace Orvane::HardwareAPI::Platform {
namespace {

// Pseudo-terminal slaves have majors 136 to 143; their masters are opened through ptmx.
constexpr unsigned kPtySlaveMajor = 136;
constexpr unsigned kPtySlaveMajors = 8;
constexpr unsigned kPtySlavesPerMajor = 256;
constexpr unsigned kPtmxMajor = 5;
constexpr unsigned kPtmxMinor = 2;
constexpr char kTtyIndexKey[] = "tty-index:";

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

class Directory {
public:
    // Takes over `fd` (an open directory); empty when it is not one.
    explicit Directory(Descriptor&& fd) : dir_(fd.get() < 0 ? nullptr : fdopendir(fd.get())) {
        if (dir_ != nullptr) {
            fd.release();
        }
    }
    ~Directory() {
        if (dir_ != nullptr) {
            closedir(dir_);
        }
    }
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;
    explicit operator bool() const { return dir_ != nullptr; }
    int fd() const { return dirfd(dir_); }
    // The next entry other than "." and ".."; nullptr at the end.
    const char* Next() {
        while (const dirent* e = readdir(dir_)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
                return e->d_name;
            }
        }
        return nullptr;
    }

private:
    DIR* dir_;
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

// The pseudo-terminal a master descriptor of the process in `pid_dir` leads to; -1 if unknown.
long MasterNumber(int pid_dir, const char* fd_name) {
    const std::string info = std::string("fdinfo/") + fd_name;
    const Descriptor f(openat(pid_dir, info.c_str(), O_RDONLY | O_CLOEXEC));
    char text[512];
    const ssize_t n = f.get() < 0 ? -1 : read(f.get(), text, sizeof text - 1);
    if (n <= 0) {
        return -1;
    }
    text[n] = '\0';
    const char* at = std::strstr(text, kTtyIndexKey);
    return at == nullptr ? -1 : std::strtol(at + sizeof kTtyIndexKey - 1, nullptr, 10);
}

// Whether the process whose /proc folder is `pid_dir` has the port open other than as the
// device end of a pseudo-terminal.
bool ProcessHolds(int pid_dir, const struct stat& port) {
    Directory fds(OpenDirectory(pid_dir, "fd"));
    if (!fds) {
        return false;  // gone meanwhile, or another user's process that may not be looked into
    }
    const bool pty = IsPtySlave(port.st_rdev);
    const dev_t ptmx = makedev(kPtmxMajor, kPtmxMinor);
    bool holds = false;
    bool holds_master = false;
    while (const char* name = fds.Next()) {
        FileId file;
        if (!IdOf(fds.fd(), name, file) || !S_ISCHR(file.mode)) {
            continue;
        }
        if (SameTerminal(file, port)) {
            holds = true;
        } else if (pty && file.rdev == ptmx &&
                   MasterNumber(pid_dir, name) == PtyNumber(port.st_rdev)) {
            holds_master = true;
        }
    }
    return holds && !holds_master;
}

bool OtherProcessHolds(const struct stat& port) {
    Directory proc(OpenDirectory(AT_FDCWD, "/proc"));
    if (!proc) {
        return false;
    }
    const pid_t self = getpid();
    while (const char* name = proc.Next()) {
        char* end = nullptr;
        const long pid = std::strtol(name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self) {
            continue;
        }
        const Descriptor pid_dir = OpenDirectory(proc.fd(), name);
        if (pid_dir.get() >= 0 && ProcessHolds(pid_dir.get(), port)) {
            return true;
        }
    }
    return false;
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

// The pid a lock file names; 0 when there is no file or no pid in it.
pid_t LockHolder(const std::string& path) {
    const Descriptor f(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    char text[32];
    const ssize_t n = f.get() < 0 ? -1 : read(f.get(), text, sizeof text - 1);
    if (n <= 0) {
        return 0;
    }
    text[n] = '\0';
    const long pid = std::strtol(text, nullptr, 10);
    return pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
}

bool Alive(pid_t pid) {
    return kill(pid, 0) == 0 || errno == EPERM;
}

// The lock files this process holds, by port descriptor. Named at the open: by the close the
// device node may be gone (unplugged, or the far end of a pseudo-terminal closed), and the
// descriptor's path with it.
class OwnLocks {
public:
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

private:
    std::mutex mutex_;
    std::map<int, std::string> paths_;
};

OwnLocks& Owned() {
    static OwnLocks locks;
    return locks;
}

}  // namespace

bool HeldElsewhere(int fd, const char* lock_folder) {
    const ErrnoKeeper keep;
    struct stat port {};
    if (!isatty(fd) || fstat(fd, &port) != 0) {
        return false;
    }
    const std::string lock = LockPath(fd, lock_folder);
    if (const pid_t holder = lock.empty() ? 0 : LockHolder(lock);
        holder != 0 && holder != getpid()) {
        if (Alive(holder)) {
            return true;
        }
        unlink(lock.c_str());  // its program is gone
    }
    return OtherProcessHolds(port);
}

bool IsPseudoTerminal(int fd) {
    struct stat port {};
    const ErrnoKeeper keep;
    return fstat(fd, &port) == 0 && S_ISCHR(port.st_mode) && IsPtySlave(port.st_rdev);
}

void TakeLockFile(int fd, const char* lock_folder) {
    const ErrnoKeeper keep;
    const std::string lock = LockPath(fd, lock_folder);
    if (lock.empty()) {
        return;
    }
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
    // A stale file found here was left between the check and now; one retry takes its place.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Descriptor f(open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (f.get() >= 0) {
            if (write(f.get(), text, static_cast<std::size_t>(length)) == length) {
                Owned().Add(fd, lock);
            } else {
                unlink(lock.c_str());
            }
            return;
        }
        const pid_t holder = errno == EEXIST ? LockHolder(lock) : 0;
        if (holder == 0 || holder == getpid() || Alive(holder)) {
            return;  // not writable, another stream's here, or another's that appeared meanwhile
        }
        unlink(lock.c_str());
    }
}

void ReleaseLockFile(int fd) {
    const ErrnoKeeper keep;
    const std::string lock = Owned().Take(fd);
    if (!lock.empty() && LockHolder(lock) == getpid()) {
        unlink(lock.c_str());
    }
}

}  // namespace Orvane::HardwareAPI::Platform
