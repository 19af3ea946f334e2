// The last N cycles of the servo loop, kept in memory allocated up front. The loop thread
// stores each record word by word with atomic stores, and a reader drops whatever the loop
// may have overwritten while it was copying, so neither side ever waits for the other.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Orvane/HardwareAPI/ServoLoop.h"

namespace Orvane::HardwareAPI::Haptics {

class HistoryRing {
public:
    // One slot more than asked for: the one the loop may be writing while a reader copies.
    explicit HistoryRing(std::size_t capacity)
        : capacity_(capacity), words_(capacity == 0 ? 0 : capacity + 1) {}

    // Loop thread only.
    void Push(const HistoryRecord& r) {
        if (words_.empty()) {
            return;
        }
        const std::uint64_t n = written_.load(std::memory_order_relaxed);
        // `written_` already says n, so a reader that sees any word of record n in the
        // slot of record n - slots also sees n there and drops that record: the fence keeps
        // the stores below from becoming visible before it on weakly ordered processors.
        std::atomic_thread_fence(std::memory_order_release);
        Words& w = words_[n % words_.size()];
        std::size_t k = 0;
        auto put = [&](std::uint64_t value) {
            std::atomic_ref<std::uint64_t>(w[k++]).store(value, std::memory_order_relaxed);
        };
        auto put_double = [&](double value) { put(std::bit_cast<std::uint64_t>(value)); };
        const LoopState& s = r.state;
        put_double(s.time);
        put(s.sequence);
        for (const Vec3* v : {&s.position, &s.velocity, &s.force, &r.commanded}) {
            for (double c : *v) {
                put_double(c);
            }
        }
        put_double(r.period_error_us);
        put_double(r.exchange_us);
        put(r.flags);
        written_.store(n + 1, std::memory_order_release);
    }

    // Any thread: the records still whole, oldest first.
    std::vector<HistoryRecord> Read() const {
        std::uint64_t gone = 0;
        return ReadFrom(0, gone);
    }

    // Any thread: the whole records from the one pushed `from`-th (counting from 0) on,
    // oldest first; `gone` says how many from there on were overwritten before they could
    // be copied.
    std::vector<HistoryRecord> ReadFrom(std::uint64_t from, std::uint64_t& gone) const {
        std::vector<HistoryRecord> out;
        gone = 0;
        const std::size_t slots = words_.size();
        if (slots == 0) {
            return out;
        }
        const std::uint64_t end = written_.load(std::memory_order_acquire);
        const std::uint64_t oldest = end > capacity_ ? end - capacity_ : 0;
        const std::uint64_t begin = std::min(std::max(from, oldest), end);
        std::vector<Words> copy(static_cast<std::size_t>(end - begin));
        for (std::uint64_t i = begin; i < end; ++i) {
            Words& to = copy[static_cast<std::size_t>(i - begin)];
            Words& from = const_cast<Words&>(words_[i % slots]);
            for (std::size_t k = 0; k < kWords; ++k) {
                to[k] = std::atomic_ref<std::uint64_t>(from[k]).load(std::memory_order_relaxed);
            }
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        // Record `now` is being written over the slot of record now - slots.
        const std::uint64_t now = written_.load(std::memory_order_relaxed);
        const std::uint64_t first_whole = now >= slots ? now - slots + 1 : 0;
        out.reserve(copy.size());
        const std::uint64_t first = std::max(begin, first_whole);
        gone = first > from ? first - from : 0;
        for (std::uint64_t i = first; i < end; ++i) {
            out.push_back(Decode(copy[static_cast<std::size_t>(i - begin)]));
        }
        return out;
    }

private:
    static constexpr std::size_t kWords = 17;
    using Words = std::array<std::uint64_t, kWords>;

    static HistoryRecord Decode(const Words& w) {
        HistoryRecord r;
        std::size_t k = 0;
        auto get_double = [&] { return std::bit_cast<double>(w[k++]); };
        r.state.time = get_double();
        r.state.sequence = w[k++];
        for (Vec3* v : {&r.state.position, &r.state.velocity, &r.state.force, &r.commanded}) {
            for (double& c : *v) {
                c = get_double();
            }
        }
        r.period_error_us = get_double();
        r.exchange_us = get_double();
        r.flags = static_cast<std::uint32_t>(w[k++]);
        return r;
    }

    std::size_t capacity_;
    std::vector<Words> words_;
    std::atomic<std::uint64_t> written_{0};
};

}  // namespace Orvane::HardwareAPI::Haptics
