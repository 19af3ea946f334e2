// Durations in nanoseconds counted in fixed buckets, 64 per power of two (about 1.5 %
// apart), so the loop thread records a value with two stores and no allocation, and any
// other thread can read percentiles while it runs.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace Orvane::HardwareAPI::Haptics {

class Histogram {
public:
    static constexpr unsigned kSubBits = 6;
    static constexpr std::uint64_t kSub = std::uint64_t{1} << kSubBits;
    static constexpr unsigned kOctaves = 35;  // up to 2^40 ns, some 18 minutes
    static constexpr std::size_t kBuckets = (kOctaves + 1) * kSub;

    static constexpr std::size_t Index(std::uint64_t ns) {
        if (ns < kSub) {
            return static_cast<std::size_t>(ns);
        }
        const unsigned shift = static_cast<unsigned>(std::bit_width(ns)) - kSubBits - 1;
        if (shift >= kOctaves) {
            return kBuckets - 1;
        }
        return static_cast<std::size_t>((shift + 1) * kSub + ((ns >> shift) - kSub));
    }

    // The largest value that falls into bucket i; the last one takes every larger value.
    static constexpr std::uint64_t UpperBound(std::size_t i) {
        if (i >= kBuckets - 1) {
            return ~std::uint64_t{0};
        }
        if (i < kSub) {
            return i;
        }
        const unsigned shift = static_cast<unsigned>(i / kSub) - 1;
        const std::uint64_t mantissa = i % kSub + kSub;
        return ((mantissa + 1) << shift) - 1;
    }

    // Loop thread only.
    void Record(std::uint64_t ns) {
        auto& count = counts_[Index(ns)];
        count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        if (ns > max_.load(std::memory_order_relaxed)) {
            max_.store(ns, std::memory_order_relaxed);
        }
    }

    struct Summary {
        double p50 = 0, p99 = 0, p999 = 0, max = 0;  // ns
    };

    // Any thread. Each percentile is its bucket's upper bound, never above the maximum seen.
    Summary Summarize() const {
        std::array<std::uint64_t, kBuckets> counts;
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < kBuckets; ++i) {
            counts[i] = counts_[i].load(std::memory_order_relaxed);
            total += counts[i];
        }
        Summary s;
        const auto max = max_.load(std::memory_order_relaxed);
        s.max = static_cast<double>(max);
        if (total == 0) {
            return s;
        }
        auto at = [&](double q) {
            const auto rank = static_cast<std::uint64_t>(q * static_cast<double>(total - 1)) + 1;
            std::uint64_t seen = 0;
            for (std::size_t i = 0; i < kBuckets; ++i) {
                seen += counts[i];
                if (seen >= rank) {
                    return static_cast<double>(std::min(UpperBound(i), max));
                }
            }
            return s.max;
        };
        s.p50 = at(0.5);
        s.p99 = at(0.99);
        s.p999 = at(0.999);
        return s;
    }

private:
    std::array<std::atomic<std::uint64_t>, kBuckets> counts_{};
    std::atomic<std::uint64_t> max_{0};
};

}  // namespace Orvane::HardwareAPI::Haptics
