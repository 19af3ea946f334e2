// Hands the newest value of T from one writer thread to one reader thread without a lock:
// three slots, the writer fills its own and swaps it with the middle one, the reader swaps
// the middle one with its own when it holds something new. Neither side ever waits for the
// other, and the reader only ever sees values that were written whole.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <type_traits>

namespace Orvane::HardwareAPI::Haptics {

template <typename T>
class LatestValue {
    static_assert(std::is_trivially_copyable_v<T>, "values are copied between threads");

public:
    explicit LatestValue(const T& initial = T{}) { slots_.fill(initial); }

    // Writer side: the slot to fill, then Publish() to hand it over.
    T& Back() { return slots_[back_]; }
    void Publish() {
        std::uint8_t old =
            middle_.exchange(static_cast<std::uint8_t>(back_ | kFresh), std::memory_order_acq_rel);
        back_ = old & kIndex;
    }
    void Write(const T& value) {
        Back() = value;
        Publish();
    }

    // Reader side: the newest published value (the previous one when nothing new came).
    // Returns true when it is new since the last call.
    bool Update() {
        if ((middle_.load(std::memory_order_relaxed) & kFresh) == 0) {
            return false;
        }
        std::uint8_t old = middle_.exchange(front_, std::memory_order_acq_rel);
        front_ = old & kIndex;
        return true;
    }
    const T& Front() const { return slots_[front_]; }

private:
    static constexpr std::uint8_t kIndex = 0x3;
    static constexpr std::uint8_t kFresh = 0x4;

    std::array<T, 3> slots_{};
    std::uint8_t back_ = 0;   // writer's own slot
    std::uint8_t front_ = 1;  // reader's own slot
    std::atomic<std::uint8_t> middle_{2};
};

}  // namespace Orvane::HardwareAPI::Haptics
