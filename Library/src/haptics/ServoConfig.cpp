#include <cmath>
#include <cstdio>

#include "Orvane/HardwareAPI/ServoLoop.h"
#include "haptics/ForceModel.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

std::string Text(const char* format, double a, double b = 0.0, double c = 0.0) {
    char text[240];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

std::string Problem(const ServoConfig& c) {
    auto at_least_zero = [](double v) { return std::isfinite(v) && v >= 0.0; };
    auto above_zero_or_off = [](double v, double most) {
        return v == kOff || (v > 0.0 && v <= most);
    };
    if (!(c.rate_hz == 0.0 || (c.rate_hz >= kMinRateHz && c.rate_hz <= kMaxRateHz))) {
        return Text("rate_hz must be 0 (as fast as the arm answers) or lie between %g and %g",
                    kMinRateHz, kMaxRateHz);
    }
    if (!above_zero_or_off(c.watchdog_s, kMaxWatchdogS)) {
        return Text(
            "watchdog_s must lie above 0 and at most %g s; 0 does not turn the watchdog off "
            "(None does in Python, kOff in C++)",
            kMaxWatchdogS);
    }
    if (!(at_least_zero(c.watchdog_ramp_s) && c.watchdog_ramp_s <= kMaxWatchdogRampS)) {
        return Text("watchdog_ramp_s must lie between 0 and %g s", kMaxWatchdogRampS);
    }
    if (!above_zero_or_off(c.max_speed, kMaxSpeedLimit)) {
        return Text(
            "max_speed must lie above 0 and at most %g m/s; 0 does not turn braking off (None "
            "does in Python, kOff in C++)",
            kMaxSpeedLimit);
    }
    if (!(c.brake_damping > 0.0 && c.brake_damping <= kMaxBrakeDamping)) {
        return Text("brake_damping must lie above 0 and at most %g N s/m", kMaxBrakeDamping);
    }
    if (std::string p = ForceLimitsProblem(
            {c.max_force, c.watchdog_s, c.watchdog_ramp_s, c.max_speed, c.brake_damping});
        !p.empty()) {
        return p;
    }
    if (!(std::isfinite(c.reply_timeout_s) && c.reply_timeout_s >= 0.001 &&
          c.reply_timeout_s <= 60.0)) {
        return "reply_timeout_s must lie between 0.001 and 60";
    }
    if (c.watchdog_s != kOff) {
        const double period = c.rate_hz > 0.0 ? 1.0 / c.rate_hz : 0.0;
        if (period > c.watchdog_s) {
            return Text(
                "rate_hz %g gives a cycle every %g s, longer than watchdog_s (%g s): the "
                "watchdog could not stop a stale force in time; raise rate_hz to at least "
                "1 / watchdog_s or turn the watchdog off",
                c.rate_hz, period, c.watchdog_s);
        }
        // The arm holds the last force until the next request, which a slow reply delays by
        // up to the reply time-out.
        if (c.reply_timeout_s + period > c.watchdog_s) {
            return Text(
                "reply_timeout_s (%g s) and one period (%g s) must fit within watchdog_s (%g "
                "s): a slow arm would keep a force past the watchdog",
                c.reply_timeout_s, period, c.watchdog_s);
        }
    }
    if (c.history > kMaxHistory) {
        return Text("history keeps at most %.0f cycles", static_cast<double>(kMaxHistory));
    }
    if (!(at_least_zero(c.spin_us) && c.spin_us <= kMaxSpinUs)) {
        return Text("spin_us must lie between 0 and %g", kMaxSpinUs);
    }
    return {};
}

}  // namespace

Error CheckConfig(const ServoConfig& c) {
    std::string problem = Problem(c);
    if (problem.empty()) {
        return {};
    }
    return {ErrorKind::BadArgument, std::move(problem)};
}

}  // namespace Orvane::HardwareAPI::Haptics
