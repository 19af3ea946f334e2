#include "Server.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace Orvane::Sim {

Server::Server(Pty& pty, SimDevice& device, const Options& options, int stop_fd, Trace* trace)
    : pty_(pty),
      device_(device),
      faults_{options.silent, options.wrong_header, options.short_reply},
      delay_(std::chrono::milliseconds(options.delay_ms)),
      latency_us_(options.latency_min_us, options.latency_max_us),
      trace_(trace),
      hangup_after_(options.hangup_after),
      chatter_(options.chatter),
      stop_fd_(stop_fd) {}

void Server::Send(const Message& m) {
    if (!pty_.HasClient()) {
        return;  // a closed port loses what arrives
    }
    const Message sent = Distort(m, faults_);
    out_.insert(out_.end(), sent.begin(), sent.end());
    last_send_ = Clock::now();
}

Clock::time_point Server::DueTime(Clock::time_point now) {
    Clock::time_point due = now + delay_;
    if (latency_us_.max() > 0) {
        due += std::chrono::microseconds(latency_us_(latency_random_));
    }
    last_due_ = std::max(due, last_due_);
    return last_due_;
}

void Server::Answer(const std::vector<Message>& replies, Clock::time_point now) {
    for (const Message& reply : replies) {
        if (hangup_by_) {
            break;  // hanging up: nothing more is answered
        }
        const Clock::time_point due = DueTime(now);
        if (due > now || !delayed_.empty()) {
            delayed_.emplace_back(due, reply);
        } else {
            Send(reply);
        }
        if (hangup_after_ && ++answered_ >= *hangup_after_) {
            hangup_by_ = due + kHangupGrace;
        }
    }
}

bool Server::Flush() {
    while (!out_.empty()) {
        const ssize_t w = write(pty_.master(), out_.data(), out_.size());
        if (w > 0) {
            out_.erase(out_.begin(), out_.begin() + w);
            continue;
        }
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;  // the port is full; poll says when it takes more
        }
        std::fprintf(stderr, "orvane-sim: writing to the port failed: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

bool Server::BacklogFree() const {
    return out_.size() + pty_.Unread() < kBacklogLimit;
}

std::optional<Clock::time_point> Server::NextDeadline() const {
    std::optional<Clock::time_point> next;
    auto consider = [&](std::optional<Clock::time_point> t) {
        if (t && (!next || *t < *next)) {
            next = t;
        }
    };
    if (!delayed_.empty()) {
        consider(delayed_.front().first);
    }
    consider(device_.NextUnprompted());
    if (chatter_) {
        consider(next_chatter_);
    }
    if (hangup_by_) {
        // Waiting for the host to read the last reply: look again shortly.
        consider(std::min(*hangup_by_, Clock::now() + std::chrono::milliseconds(1)));
    }
    return next;
}

int Server::Run() {
    next_chatter_ = Clock::now();
    if (hangup_after_ && *hangup_after_ == 0) {
        hangup_by_ = Clock::now();
    }
    std::uint8_t buffer[4096];
    for (;;) {
        Clock::time_point now = Clock::now();
        while (!delayed_.empty() && delayed_.front().first <= now) {
            Send(delayed_.front().second);
            delayed_.pop_front();
        }
        if (auto t = device_.NextUnprompted(); t && *t <= now) {
            if (auto m = device_.Unprompted(now); m && BacklogFree() && !hangup_by_) {
                Send(*m);
            }
        }
        if (chatter_ && next_chatter_ <= now) {
            if (BacklogFree() && !hangup_by_ && pty_.HasClient()) {
                const Message noise = noise_.Next(kChatterBytes);  // noise is not a reply
                out_.insert(out_.end(), noise.begin(), noise.end());
            }
            next_chatter_ = std::max(next_chatter_ + kChatterPeriod, now);
        }
        if (!Flush()) {
            return 1;
        }
        // The host's unread count lags a write by a moment, so it is trusted only a little
        // after the last reply went out.
        if (hangup_by_ && delayed_.empty() && out_.empty() && now >= last_send_ + kSettle &&
            (pty_.Unread() == 0 || now >= *hangup_by_)) {
            pty_.Close();
            return 0;
        }

        // Sub-millisecond answer latencies need a finer wait than poll's milliseconds.
        timespec timeout{};
        const timespec* wait = nullptr;
        if (const auto deadline = NextDeadline()) {
            const auto left = std::max<Clock::duration>(*deadline - now, Clock::duration::zero());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
            timeout.tv_nsec = static_cast<long>(ns % 1000000000);
            wait = &timeout;
        }
        pollfd fds[3] = {
            {pty_.master(), static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0},
            {stop_fd_, POLLIN, 0},
            {pty_.client_watch(), POLLIN, 0}};  // ignored by poll while -1
        const int r = ppoll(fds, 3, wait, nullptr);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "orvane-sim: poll failed: %s\n", std::strerror(errno));
            return 1;
        }
        if (fds[1].revents != 0) {
            return 0;
        }
        // Opens and closes first: a request is only ever read after the open before it.
        if (fds[2].revents != 0 && pty_.TakeClientEvents()) {
            // The last user closed the port: like a real port, it forgets what it held.
            out_.clear();
            delayed_.clear();
            pty_.DiscardUnread();
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = read(pty_.master(), buffer, sizeof buffer);
            if (n > 0) {
                std::vector<Message> replies;
                now = Clock::now();
                device_.Receive(buffer, static_cast<std::size_t>(n), now, replies);
                if (trace_ != nullptr) {
                    trace_->Flush();
                }
                Answer(replies, now);
                if (!Flush()) {
                    return 1;
                }
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR && errno != EWOULDBLOCK)) {
                std::fprintf(stderr, "orvane-sim: reading the port failed: %s\n",
                             n == 0 ? "end of file" : std::strerror(errno));
                return 1;
            }
        }
    }
}

}  // namespace Orvane::Sim
