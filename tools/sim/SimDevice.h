// What the event loop needs from a simulated device: it hands over request bytes as they
// arrive and sends back whatever messages the device produces.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace Orvane::Sim {

using Clock = std::chrono::steady_clock;
using Message = std::vector<std::uint8_t>;

class Trace;

class SimDevice {
public:
    virtual ~SimDevice() = default;

    // Every complete request from now on is also written to `trace` (nullptr: none).
    void SetTrace(Trace* trace) { trace_ = trace; }

    // Takes request bytes in arrival order (a request may arrive in pieces) and appends
    // one message to `replies` for every complete request that earns an answer.
    virtual void Receive(const std::uint8_t* data, std::size_t n, Clock::time_point now,
                         std::vector<Message>& replies) = 0;

    // When the device next wants to send something on its own, if ever.
    virtual std::optional<Clock::time_point> NextUnprompted() const { return std::nullopt; }

    // The message due at `now`, if any; the device then schedules its next one.
    virtual std::optional<Message> Unprompted(Clock::time_point) { return std::nullopt; }

protected:
    Trace* trace_ = nullptr;
};

// Gathers request bytes until a whole request is there. `size_of` looks at the pending
// bytes (at least one) and returns the whole request's size, 0 while that size is not yet
// known, or kUnknown for a byte that starts no request.
class RequestFramer {
public:
    static constexpr std::size_t kUnknown = static_cast<std::size_t>(-1);
    // A request left incomplete this long is dropped, so a lost byte cannot shift every
    // later request out of line.
    static constexpr Clock::duration kStaleAfter = std::chrono::milliseconds(500);

    template <typename SizeOf, typename OnRequest, typename OnUnknown>
    void Feed(const std::uint8_t* data, std::size_t n, Clock::time_point now, SizeOf size_of,
              OnRequest on_request, OnUnknown on_unknown) {
        if (!pending_.empty() && now - last_byte_ > kStaleAfter) {
            pending_.clear();
        }
        if (n > 0) {
            last_byte_ = now;
        }
        pending_.insert(pending_.end(), data, data + n);
        std::size_t start = 0;
        while (start < pending_.size()) {
            const std::size_t size = size_of(pending_.data() + start, pending_.size() - start);
            if (size == kUnknown) {
                on_unknown(pending_[start]);
                ++start;
                continue;
            }
            if (size == 0 || pending_.size() - start < size) {
                break;
            }
            on_request(pending_.data() + start, size);
            start += size;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(start));
    }

    std::size_t Pending() const { return pending_.size(); }

private:
    std::vector<std::uint8_t> pending_;
    Clock::time_point last_byte_{};
};

}  // namespace Orvane::Sim
