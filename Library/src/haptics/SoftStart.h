// Brings forces in gradually: the loop restarts it when it begins rendering (or when the
// clutch lets go) and scales what the effects give by Share(), so an arm that starts inside
// a wall or away from a target is eased back instead of kicked.
#pragma once

#include <algorithm>
#include <cstdint>

namespace Orvane::HardwareAPI::Haptics {

class SoftStart {
public:
    explicit SoftStart(double ramp_s = 0.5) : ramp_ns_(static_cast<std::int64_t>(ramp_s * 1e9)) {}

    void Restart(std::int64_t now_ns) { start_ns_ = now_ns; }

    // 0 at the restart to 1 a ramp later, with zero slope at both ends so the force has no
    // corner either.
    double Share(std::int64_t now_ns) const { return Share(start_ns_, now_ns); }

    // The same ramp begun at `start_ns` instead, for something eased in on its own (an
    // effect added while the loop runs).
    double Share(std::int64_t start_ns, std::int64_t now_ns) const {
        if (ramp_ns_ <= 0) {
            return 1.0;
        }
        const double s = std::clamp(
            static_cast<double>(now_ns - start_ns) / static_cast<double>(ramp_ns_), 0.0, 1.0);
        return s * s * (3.0 - 2.0 * s);
    }

    std::int64_t Started() const { return start_ns_; }

private:
    std::int64_t ramp_ns_;
    std::int64_t start_ns_ = 0;
};

}  // namespace Orvane::HardwareAPI::Haptics
