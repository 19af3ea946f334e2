// A pseudo-terminal for tests: the test plays the device on the master side and the
// library opens `path`. The test keeps a slave descriptor open so the library's close
// never looks like a hang-up to the device end.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace OrvaneTest {

class PtyPair {
public:
    // With raw false the line keeps the terminal defaults (echo, line editing, CR/LF and
    // XON/XOFF handling), so only the library's own settings can make it binary-safe.
    explicit PtyPair(bool raw = true) {
        char name[256] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        if (raw) {
            termios t{};
            tcgetattr(slave_, &t);
            cfmakeraw(&t);
            tcsetattr(slave_, TCSANOW, &t);
        }
        path_ = name;
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
    ~PtyPair() { HangUp(); }

    const std::string& path() const { return path_; }
    int master() const { return master_; }
    // The test's own descriptor on the library's side of the line (same terminal).
    int slave() const { return slave_; }

    void Send(const std::vector<std::uint8_t>& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t w = write(master_, bytes.data() + done, bytes.size() - done);
            if (w <= 0) {
                throw std::runtime_error("write to pty master failed");
            }
            done += static_cast<std::size_t>(w);
        }
    }

    // Reads exactly n bytes the library wrote, or fewer if `timeout_ms` passes first.
    std::vector<std::uint8_t> Expect(std::size_t n, int timeout_ms = 3000) const {
        std::vector<std::uint8_t> out;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{master_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            std::uint8_t buf[4096];
            const ssize_t r = read(master_, buf, std::min(sizeof buf, n - out.size()));
            if (r <= 0) {
                break;
            }
            out.insert(out.end(), buf, buf + r);
        }
        return out;
    }

    // Everything written so far and not yet read, after waiting `wait_ms` for more.
    std::vector<std::uint8_t> Pending(int wait_ms = 100) const {
        std::vector<std::uint8_t> out;
        pollfd p{master_, POLLIN, 0};
        while (poll(&p, 1, wait_ms) > 0) {
            std::uint8_t buf[4096];
            const ssize_t r = read(master_, buf, sizeof buf);
            if (r <= 0) {
                break;
            }
            out.insert(out.end(), buf, buf + r);
            wait_ms = 50;
        }
        return out;
    }

    // The device end goes away, as when a device is unplugged.
    void HangUp() {
        if (master_ >= 0) {
            close(master_);
            master_ = -1;
        }
        if (slave_ >= 0) {
            close(slave_);
            slave_ = -1;
        }
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

}  // namespace OrvaneTest
