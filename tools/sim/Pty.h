// The simulator's end of the line: a pseudo-terminal in raw mode whose slave path the host
// opens as its serial port, and an optional symbolic link to that path.
#pragma once

#include <cstddef>
#include <string>

namespace Orvane::Sim {

class Pty {
public:
    // Opens a new pair; throws std::system_error when the system has none to give.
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int master() const { return master_; }
    const std::string& path() const { return path_; }

    // Bytes sent to the host that it has not read yet.
    std::size_t Unread() const;

    // Hangs up: the host's reads and writes on the port fail from now on.
    void Close();

    // Whether a program has the port open. Where the system cannot tell (no inotify), the
    // answer is always yes.
    bool HasClient() const { return watch_ < 0 || clients_ > 0; }
    // Readable when programs opened or closed the port; -1 where the system cannot tell.
    int client_watch() const { return watch_; }
    // Takes the pending open and close events; true when the last program closed the port.
    bool TakeClientEvents();
    // Drops what was sent and not read, as a real port does when its last user closes it.
    void DiscardUnread();

private:
    int watch_ = -1;
    int clients_ = 0;
    int master_ = -1;
    // Held open so that the host closing its port does not hang up the master side. Since
    // this process holds the master too, hosts see it as the device end, not as a program
    // that already has their port open.
    int slave_ = -1;
    std::string path_;
};

// A symbolic link to the port for the simulator's lifetime: removed again at the end if it
// still points at the port.
class PortLink {
public:
    PortLink() = default;
    ~PortLink();
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

    // Makes `link` point at `target`. An existing symbolic link is replaced; any other
    // existing file is left as it is and the call fails. On failure `error` says why.
    bool Make(const std::string& link, const std::string& target, std::string& error);

private:
    std::string link_;
    std::string target_;
};

}  // namespace Orvane::Sim
