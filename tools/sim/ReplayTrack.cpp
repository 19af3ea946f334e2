#include "ReplayTrack.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace Orvane::Sim {
namespace {

// The index of the last sample at or before `seconds` and how far on towards the next.
template <typename Sample>
std::size_t Bracket(const Recorded<Sample>& r, double seconds, double& fraction) {
    const auto& s = r.samples;
    const auto after = std::upper_bound(s.begin(), s.end(), seconds,
                                        [](double t, const Sample& x) { return t < x.time; });
    fraction = 0;
    if (after == s.begin()) {
        return 0;
    }
    const auto i = static_cast<std::size_t>(after - s.begin()) - 1;
    if (i + 1 < s.size() && s[i + 1].time > s[i].time) {
        fraction = (seconds - s[i].time) / (s[i + 1].time - s[i].time);
    }
    return i;
}

template <std::size_t N>
std::array<double, N> Lerp(const std::array<double, N>& a, const std::array<double, N>& b,
                           double f) {
    std::array<double, N> out{};
    for (std::size_t k = 0; k < N; ++k) {
        out[k] = a[k] + f * (b[k] - a[k]);
    }
    return out;
}

}  // namespace

double ReplayClock::Seconds(Clock::time_point now, double duration) {
    if (!start_) {
        start_ = now;
    }
    const double t = speed_ * std::chrono::duration<double>(now - *start_).count();
    if (!(duration > 0)) {
        return 0.0;
    }
    return loop_ ? std::fmod(t, duration) : std::min(t, duration);
}

ArmSample ArmAt(const Recorded<ArmSample>& r, double seconds) {
    double f = 0;
    const std::size_t i = Bracket(r, seconds, f);
    if (f <= 0) {
        return r.samples[i];
    }
    const ArmSample& a = r.samples[i];
    const ArmSample& b = r.samples[i + 1];
    return {seconds, Lerp(a.position, b.position, f), Lerp(a.velocity, b.velocity, f)};
}

HandleSample HandleAt(const Recorded<HandleSample>& r, double seconds) {
    double f = 0;
    const std::size_t i = Bracket(r, seconds, f);
    if (f <= 0) {
        return r.samples[i];
    }
    const HandleSample& a = r.samples[i];
    HandleSample b = r.samples[i + 1];
    double dot = 0;
    for (std::size_t k = 0; k < 4; ++k) {
        dot += a.quaternion[k] * b.quaternion[k];
    }
    if (dot < 0) {  // the same turn, the short way round
        for (double& c : b.quaternion) {
            c = -c;
        }
    }
    HandleSample out = a;
    out.time = seconds;
    out.quaternion = Lerp(a.quaternion, b.quaternion, f);
    double norm = 0;
    for (double c : out.quaternion) {
        norm += c * c;
    }
    if (norm > 0) {
        for (double& c : out.quaternion) {
            c /= std::sqrt(norm);
        }
    }
    out.hall_effect = a.hall_effect + f * (b.hall_effect - a.hall_effect);
    return out;
}

}  // namespace Orvane::Sim
