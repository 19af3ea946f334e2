// orvane-zero-guard: the small process a servo loop starts beside its program. It holds a
// duplicate of the arm's port (descriptor 3) and one end of a socket whose other end only
// the program holds (descriptor 4). When that end closes without a word first, the program
// is gone however it ended (SIGKILL, _exit, out of memory, a crash), and nothing will send
// the arm its zero any more: this process does, then exits. A byte on the socket means the
// program's own zero went out, or the loop is stopping: it then exits without writing.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>

#include "Orvane/HardwareAPI/Protocol.h"
#include "codec/ArmCodec.h"

namespace {

namespace Arm = Orvane::HardwareAPI::Protocol::Arm;
namespace Wire = Orvane::HardwareAPI::Codec::Arm;

constexpr int kPort = 3;
constexpr int kProgram = 4;
// A line that takes no bytes (flow control held) must not keep this process alive.
constexpr unsigned kWriteBoundS = 2;
// As the loop thread's: on a busy machine the zero must not wait behind ordinary work.
constexpr int kPriority = 80;

// Two whole zero-force requests. A program killed inside a write may leave the first k
// bytes of a request on the line (0 <= k < 13). The first zero then completes that request
// (its missing bytes become zeros: what it had of its force and a vanishing remainder), the
// k zero bytes left over start no request and are dropped by the arm, and the second zero
// arrives whole: the last request the arm takes is a full zero in every case.
void WriteZero() {
    constexpr float kZero[3] = {0.0f, 0.0f, 0.0f};
    std::uint8_t zeros[2 * Arm::kVectorRequestSize];
    const std::size_t first = Wire::EncodeForce(zeros, kZero);
    Wire::EncodeForce(std::span(zeros).subspan(first), kZero);
    alarm(kWriteBoundS);
    std::size_t done = 0;
    while (done < sizeof zeros) {
        const ssize_t n = write(kPort, zeros + done, sizeof zeros - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Its lifetime is the program's: signals meant for the program's terminal or group
    // (Ctrl-C, a hang-up, a polite SIGTERM to the group) must not end it before its work.
    for (const int sig : {SIGINT, SIGHUP, SIGTERM, SIGQUIT, SIGPIPE, SIGTSTP, SIGTTOU, SIGTTIN}) {
        signal(sig, SIG_IGN);
    }
    if (fcntl(kPort, F_GETFD) == -1 || fcntl(kProgram, F_GETFD) == -1) {
        return 2;
    }
    // Nothing of the program's stays open here but the port and the socket.
    closefrom(kProgram + 1);
    // Where asked and the system allows it; it sleeps until it is needed.
    if (argc > 1 && std::strcmp(argv[1], "--realtime") == 0) {
        sched_param p{};
        p.sched_priority = std::min(kPriority, sched_get_priority_max(SCHED_FIFO));
        sched_setscheduler(0, SCHED_FIFO, &p);
    }
    // The program waits for this word before its loop pushes: from here on it is covered.
    const char ready = 'r';
    if (write(kProgram, &ready, 1) != 1) {
        return 2;
    }
    for (;;) {
        pollfd p{kProgram, POLLIN, 0};
        if (poll(&p, 1, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        char word[16];
        const ssize_t n = read(kProgram, word, sizeof word);
        if (n > 0) {
            return 0;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        break;  // the program's end closed (or broke): it is gone
    }
    WriteZero();
    return 0;
}
