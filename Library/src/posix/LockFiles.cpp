// Lock files of the lock folder. Nothing stays behind but this process's own lock file:
// the file is written unnamed where the system allows it and linked into place, so a crash
// at any moment leaves no half-made file.
#include "posix/LockFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "SystemErrorText.h"
#include "posix/Descriptor.h"
#include "posix/PortHolders.h"

namespace Orvane::HardwareAPI::Platform {
namespace {

// A lock file found empty may be one whose writer has not written yet.
constexpr std::chrono::milliseconds kEmptyLockGrace{20};
constexpr int kLockAttempts = 4;
// Names tried for a named temporary file before giving up.
constexpr int kTemporaryNames = 8;
// Temporary files are named LTMP.<pid>.<n>: one whose process is gone is a leftover.
constexpr std::string_view kTemporaryPrefix = "LTMP.";

// The port's lock file: its path under /dev with '/' turned into '_' (LCK..ttyACM0,
// LCK..pts_3), or its file name where it lies elsewhere. Empty when the path is unknown.
std::string LockPath(int fd, const char* folder) {
    std::string name = DevicePath(fd);
    if (name.empty()) {
        return {};
    }
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

enum class LockFile { Missing, Unreadable, Names, Malformed, Directory };

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
        if (S_ISDIR(info.st_mode)) {
            return LockFile::Directory;
        }
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

std::string FolderOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

bool Writable(const std::string& folder) {
    return faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

// Why no lock file can be made in `folder`, from the error of the step that failed.
std::string Unwritable(const std::string& folder, int error) {
    return folder + " cannot be written ([" + std::to_string(error) + "] " +
           SystemErrorText(static_cast<std::uint32_t>(error)) + ")";
}

// Removes the temporary files of processes that are gone: a program killed between making
// its file and linking it into place leaves one. Ours and live processes' are left alone.
void RemoveLeftovers(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return;
    }
    while (const dirent* e = readdir(dir)) {
        const std::string_view name(e->d_name);
        if (!name.starts_with(kTemporaryPrefix)) {
            continue;
        }
        char* end = nullptr;
        const long pid = std::strtol(e->d_name + kTemporaryPrefix.size(), &end, 10);
        if (pid > 0 && pid <= INT_MAX && *end == '.' && pid != getpid() &&
            !Alive(static_cast<pid_t>(pid))) {
            unlinkat(dirfd(dir), e->d_name, 0);
        }
    }
    closedir(dir);
}

bool WriteAll(int fd, const std::string& text) {
    fchmod(fd, 0644);  // whatever the umask, other programs must read whose it is
    return write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// Makes `path` appear with `text` in it, or not at all: the text goes into a file of this
// process's own, which is then linked into place. 0, or the error of the step that failed
// (EEXIST only when a lock file is there already).
int Publish(const std::string& path, const std::string& text) {
    const std::string folder = FolderOf(path);
#ifdef O_TMPFILE
    // An unnamed file: nothing is left behind whenever the process dies.
    {
        const Descriptor f(open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644));
        if (f.get() >= 0) {
            if (!WriteAll(f.get(), text)) {
                return errno != 0 ? errno : EIO;
            }
            const std::string self = "/proc/self/fd/" + std::to_string(f.get());
            if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                return 0;
            }
            if (errno != ENOENT) {
                return errno;  // EEXIST: there is a lock file already
            }
            // No /proc to link through: a named file instead.
        } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return errno;  // the folder cannot be written, or is not there
        }
    }
#endif
    // A named file, removed at once; one a killed process left is removed by the next open.
    static std::atomic<unsigned> counter{0};
    for (int name = 0; name < kTemporaryNames; ++name) {
        const std::string own = folder + "/" + std::string(kTemporaryPrefix) +
                                std::to_string(getpid()) + "." + std::to_string(counter++);
        const Descriptor f(
            open(own.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (f.get() < 0) {
            if (errno == EEXIST) {
                continue;  // someone else's file under our name: another name
            }
            return errno;
        }
        if (!WriteAll(f.get(), text)) {
            const int error = errno != 0 ? errno : EIO;
            unlink(own.c_str());
            return error;
        }
        const int linked = link(own.c_str(), path.c_str()) == 0 ? 0 : errno;
        unlink(own.c_str());
        return linked;
    }
    return EAGAIN;
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
    bool Holds(const std::string& path) {
        const std::lock_guard<std::mutex> hold(mutex_);
        return std::any_of(paths_.begin(), paths_.end(),
                           [&](const auto& entry) { return entry.second == path; });
    }
    static OwnLocks& Owned() {
        static OwnLocks locks;
        return locks;
    }

private:
    std::mutex mutex_;
    std::map<int, std::string> paths_;
};

// Who the lock file `lock` says holds the port; empty when it says nobody alive.
std::string LiveHolder(const std::string& lock, LockFile state, pid_t pid, uid_t owner) {
    switch (state) {
        case LockFile::Unreadable:
            return lock + " of " + UserName(owner) + " cannot be read";
        case LockFile::Directory:
            return lock + " is a directory, not a lock file";
        case LockFile::Names:
            if (pid == getpid()) {
                // A file of an earlier process with this number (another pid namespace, a
                // reboot without a clean folder) is stale; ours is only while we hold it.
                return OwnLocks::Owned().Holds(lock) ? lock + " names this process" : std::string();
            }
            if (Alive(pid)) {
                const std::string name = ProcessName(pid);
                return lock + " names process " + std::to_string(pid) +
                       (name.empty() ? "" : " (" + name + ")") + " of " + UserName(owner);
            }
            return {};
        case LockFile::Missing:
        case LockFile::Malformed:
            return {};
    }
    return {};
}

}  // namespace

LockResult TakeLockFile(int fd, const char* lock_folder) {
    const ErrnoKeeper keep;
    const std::string lock = LockPath(fd, lock_folder);
    if (lock.empty()) {
        return {};
    }
    const std::string folder = FolderOf(lock);
    const auto refuse = [&](const std::string& holder) {
        // Saying the folder cannot be written tells why no lock of ours could help either.
        return LockResult{LockOutcome::Held, Writable(folder)
                                                 ? holder
                                                 : holder + "; " + folder + " cannot be written"};
    };
    RemoveLeftovers(folder);
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
    const std::string content(text, static_cast<std::size_t>(length));
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        // What is there is read before anything is made: a folder this process may not
        // write still has its lock files say whose the port is.
        pid_t pid = 0;
        uid_t owner = static_cast<uid_t>(-1);
        const LockFile state = ReadLock(lock, pid, owner);
        const std::string holder = LiveHolder(lock, state, pid, owner);
        if (!holder.empty()) {
            return refuse(holder);
        }
        if (state != LockFile::Missing && unlink(lock.c_str()) != 0 && errno != ENOENT) {
            // A stale file that cannot be removed: the port is nobody's, and goes without.
            return {LockOutcome::NotTaken, Unwritable(folder, errno)};
        }
        const int published = Publish(lock, content);
        if (published == 0) {
            OwnLocks::Owned().Add(fd, lock);
            return {LockOutcome::Taken, {}};
        }
        if (published != EEXIST) {
            return {LockOutcome::NotTaken, Unwritable(folder, published)};
        }
        // Another program made one meanwhile: read it again.
    }
    return refuse(lock + " keeps coming back");
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
