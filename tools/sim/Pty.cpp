#include "Pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#ifdef __linux__
#include <sys/inotify.h>
#endif
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

namespace Orvane::Sim {
namespace {

[[noreturn]] void Fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

Pty::Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) {
        Fail("posix_openpt");
    }
    try {
        if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
            Fail("grantpt");
        }
        const char* name = ptsname(master_);
        if (name == nullptr) {
            Fail("ptsname");
        }
        path_ = name;
        slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_ < 0) {
            Fail("open slave");
        }
        // Raw before anyone can see the path: the wire is binary.
        termios t{};
        if (tcgetattr(slave_, &t) != 0) {
            Fail("tcgetattr");
        }
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&t, B115200);
        cfsetospeed(&t, B115200);
        if (tcsetattr(slave_, TCSANOW, &t) != 0) {
            Fail("tcsetattr");
        }
        const int flags = fcntl(master_, F_GETFL);
        if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0 ||
            fcntl(master_, F_SETFD, FD_CLOEXEC) != 0) {
            Fail("fcntl");
        }
#ifdef __linux__
        // Opens and closes by other programs, counted from here on: the simulator's own
        // descriptors are already open and close only at the end.
        watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (watch_ >= 0 && inotify_add_watch(watch_, path_.c_str(),
                                             IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
            close(watch_);
            watch_ = -1;
        }
#endif
    } catch (...) {
        Close();
        throw;
    }
}

Pty::~Pty() {
    Close();
}

std::size_t Pty::Unread() const {
    int n = 0;
    if (slave_ < 0 || ioctl(slave_, FIONREAD, &n) != 0 || n < 0) {
        return 0;
    }
    return static_cast<std::size_t>(n);
}

bool Pty::TakeClientEvents() {
    bool last_closed = false;
#ifdef __linux__
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = watch_ < 0 ? -1 : read(watch_, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
            if (e->mask & IN_OPEN) {
                ++clients_;
            }
            if ((e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) && clients_ > 0 &&
                --clients_ == 0) {
                last_closed = true;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
#endif
    return last_closed;
}

void Pty::DiscardUnread() {
    if (slave_ >= 0) {
        tcflush(slave_, TCIFLUSH);
    }
}

void Pty::Close() {
    if (watch_ >= 0) {
        close(watch_);
        watch_ = -1;
    }
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
    if (slave_ >= 0) {
        close(slave_);
        slave_ = -1;
    }
}

bool PortLink::Make(const std::string& link, const std::string& target, std::string& error) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = "'" + link + "' exists and is not a symbolic link; leaving it alone";
            return false;
        }
        if (unlink(link.c_str()) != 0 && errno != ENOENT) {
            error = "cannot replace '" + link + "': " + std::strerror(errno);
            return false;
        }
    } else if (errno != ENOENT) {
        error = "cannot use '" + link + "': " + std::strerror(errno);
        return false;
    }
    // symlink() never replaces anything: a file that appeared meanwhile makes it fail.
    if (symlink(target.c_str(), link.c_str()) != 0) {
        error = "cannot link '" + link + "': " + std::strerror(errno);
        return false;
    }
    link_ = link;
    target_ = target;
    return true;
}

PortLink::~PortLink() {
    if (link_.empty()) {
        return;
    }
    std::vector<char> buffer(target_.size() + 2);
    const ssize_t n = readlink(link_.c_str(), buffer.data(), buffer.size());
    if (n >= 0 && std::string(buffer.data(), static_cast<std::size_t>(n)) == target_) {
        unlink(link_.c_str());
    }
}

}  // namespace Orvane::Sim
