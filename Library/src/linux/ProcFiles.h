// The file tables of other processes as /proc shows them: which terminals each of its
// threads has open, found without waiting on any file system but /proc.
#pragma once

#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "posix/Descriptor.h"

namespace Orvane::HardwareAPI::Platform {

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

Descriptor OpenDirectory(int at, const char* name);
bool IsPtySlave(dev_t rdev);
// A pseudo-terminal slave's number (the N of /dev/pts/N).
long PtyNumber(dev_t rdev);

// What identifies a device file: its type, device number and file system.
struct FileId {
    mode_t mode = 0;
    dev_t rdev = 0;
    dev_t dev = 0;
};

// Whether `file` is the terminal `port`.
bool SameTerminal(const FileId& file, const struct stat& port);
// Whether `rdev` is /dev/tty, whatever terminal it leads its opener to.
bool IsDevTty(dev_t rdev);
// The controlling terminal of process `pid` (the terminal its /dev/tty leads to); 0 if none.
dev_t ControllingTerminal(pid_t pid);

// One terminal that a process has open: the file, and for a pseudo-terminal master the
// number of the terminal it leads to.
struct OpenTerminal {
    pid_t pid = 0;
    FileId file;
    long master_of = -1;
};

using Terminals = std::vector<OpenTerminal>;

// Adds the terminals open in the file tables of every thread of the process in `pid_dir` to
// `out`: all of them, or with `port` only that port and pseudo-terminal masters.
void ScanProcess(int pid_dir, pid_t pid, const struct stat* port, Terminals& out);

}  // namespace Orvane::HardwareAPI::Platform
