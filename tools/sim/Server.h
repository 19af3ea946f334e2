// The event loop: one thread, woken by poll only when the host sent bytes, the port can
// take more output, a timer is due, or a stop was requested. A complete request is answered
// in the same wake-up that brought its last byte.
#pragma once

#include <deque>
#include <optional>
#include <utility>

#include "Faults.h"
#include "Options.h"
#include "Pty.h"
#include "SimDevice.h"

namespace Orvane::Sim {

class Server {
public:
    // Unprompted traffic (streaming, chatter) pauses while this much is still unread.
    static constexpr std::size_t kBacklogLimit = 512;
    static constexpr Clock::duration kChatterPeriod = std::chrono::milliseconds(10);
    static constexpr std::size_t kChatterBytes = 8;
    // Before hanging up, the host gets this long to read the last reply.
    static constexpr Clock::duration kHangupGrace = std::chrono::milliseconds(500);
    static constexpr Clock::duration kSettle = std::chrono::milliseconds(20);

    // `stop_fd` becomes readable when the simulator is to stop.
    Server(Pty& pty, SimDevice& device, const Options& options, int stop_fd);

    // Serves until a stop or a hang-up; 0 then, 1 when the port failed.
    int Run();

private:
    void Answer(const std::vector<Message>& replies, Clock::time_point now);
    void Send(const Message& m);
    bool Flush();  // false when the port failed
    bool BacklogFree() const;
    std::optional<Clock::time_point> NextDeadline() const;

    Pty& pty_;
    SimDevice& device_;
    FaultPlan faults_;
    Clock::duration delay_;
    std::optional<unsigned long> hangup_after_;
    bool chatter_;
    int stop_fd_;

    Message out_;  // bytes waiting for the port to take them
    std::deque<std::pair<Clock::time_point, Message>> delayed_;
    unsigned long answered_ = 0;
    std::optional<Clock::time_point> hangup_by_;  // set once the last reply is out
    Clock::time_point last_send_{};
    Clock::time_point next_chatter_{};
    Noise noise_;
};

}  // namespace Orvane::Sim
