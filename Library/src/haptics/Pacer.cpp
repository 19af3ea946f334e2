#include "haptics/Pacer.h"

#include "platform/Realtime.h"

namespace Orvane::HardwareAPI::Haptics {

bool Pacer::Wait(const std::atomic<bool>& stop, std::int64_t& wake_ns) const {
    wake_ns = Platform::MonotonicNs();
    if (period_ == 0) {
        return !stop.load(std::memory_order_relaxed);
    }
    while (deadline_ - wake_ns > kStopCheckNs && !stop.load(std::memory_order_relaxed)) {
        Platform::SleepUntilNs(wake_ns + kStopCheckNs);
        wake_ns = Platform::MonotonicNs();
    }
    if (stop.load(std::memory_order_relaxed)) {
        return false;
    }
    // A cycle that ran long leaves no time to sleep; the system call is saved then.
    if (deadline_ - spin_ > wake_ns) {
        Platform::SleepUntilNs(deadline_ - spin_);
    }
    while ((wake_ns = Platform::MonotonicNs()) < deadline_) {
    }
    return true;
}

bool Pacer::Advance(std::int64_t now_ns) {
    if (period_ == 0) {
        return false;
    }
    deadline_ += period_;
    due_ = deadline_;
    if (now_ns <= deadline_) {
        return false;
    }
    if (now_ns - deadline_ > period_) {
        deadline_ = now_ns;
    }
    return true;
}

}  // namespace Orvane::HardwareAPI::Haptics
