// The hand-over of LatestValue for slots that are not plain values (arrays sized at run
// time): three slot numbers, the writer fills its own slot and swaps it with the middle,
// the reader swaps the middle with its own when it holds something new. One writer thread
// and one reader thread at a time; neither ever waits.
#pragma once

#include <atomic>
#include <cstdint>

namespace Orvane::HardwareAPI::Haptics {

class TripleIndex {
public:
    int Back() const { return back_; }
    void Publish() {
        const std::uint8_t old =
            middle_.exchange(static_cast<std::uint8_t>(back_ | kFresh), std::memory_order_acq_rel);
        back_ = old & kIndex;
    }

    int Front() const { return front_; }
    // True when a new slot came since the last call.
    bool Update() {
        if ((middle_.load(std::memory_order_relaxed) & kFresh) == 0) {
            return false;
        }
        const std::uint8_t old = middle_.exchange(front_, std::memory_order_acq_rel);
        front_ = old & kIndex;
        return true;
    }

private:
    static constexpr std::uint8_t kIndex = 0x3;
    static constexpr std::uint8_t kFresh = 0x4;

    std::uint8_t back_ = 0;
    std::uint8_t front_ = 1;
    std::atomic<std::uint8_t> middle_{2};
};

}  // namespace Orvane::HardwareAPI::Haptics
