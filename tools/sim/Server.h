// The event loop: one thread, woken by poll only when the host sent bytes, the port can
// take more output, a timer is due, or a stop was requested. A complete request is answered
// in the same wake-up that brought its last byte.
#pragma once

#include <deque>
#include <optional>
#include <random>
#include <utility>

#include "Faults.h"
#include "Options.h"
#include "Pty.h"
#include "SimDevice.h"
#include "Trace.h"

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

    // `stop_fd` becomes readable when the simulator is to stop. `trace`, when given, is the
    // device's request log; the server flushes it before every answer.
    Server(Pty& pty, SimDevice& device, const Options& options, int stop_fd,
           Trace* trace = nullptr);

    // Serves until a stop or a hang-up; 0 then, 1 when the port failed.
    int Run();

private:
    void Answer(const std::vector<Message>& replies, Clock::time_point now);
    void Send(const Message& m);
    bool Flush();  // false when the port failed
    bool BacklogFree() const;
    // When the reply to a request that arrived at `now` is due: after the fixed delay and
    // the random latency, and never before the reply to an earlier request.
    Clock::time_point DueTime(Clock::time_point now);
    std::optional<Clock::time_point> NextDeadline() const;

    Pty& pty_;
    SimDevice& device_;
    FaultPlan faults_;
    Clock::duration delay_;
    std::uniform_int_distribution<unsigned> latency_us_;
    std::minstd_rand latency_random_;  // fixed seed: the same timing every run
    Clock::time_point last_due_{};
    Trace* trace_;
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
