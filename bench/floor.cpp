// The floor under the servo loop's timing: a thread at the loop's priority on the same grid
// of deadlines, paced by the same pacer, with no I/O and no computation. Whatever lateness
// it sees comes from the machine and its load, not from the loop.
//
//   orvane-bench-floor RATE_HZ SECONDS SPIN_US [WARMUP_S]
// prints one JSON line: cycles, period_error_us percentiles, cpu_share.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "haptics/Pacer.h"
#include "platform/Realtime.h"

namespace {

using Orvane::HardwareAPI::Haptics::Pacer;
namespace Platform = Orvane::HardwareAPI::Platform;

double At(const std::vector<double>& sorted, double fraction) {
    if (sorted.empty()) {
        return 0.0;
    }
    const auto i = static_cast<std::size_t>(std::ceil(fraction * sorted.size()));
    return sorted[std::min(sorted.size() - 1, i == 0 ? 0 : i - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s RATE_HZ SECONDS SPIN_US [WARMUP_S]\n", argv[0]);
        return 2;
    }
    const double rate = std::atof(argv[1]);
    const double seconds = std::atof(argv[2]);
    const double spin_us = std::atof(argv[3]);
    const double warmup_s = argc > 4 ? std::atof(argv[4]) : 0.2;
    if (!(rate > 0.0 && seconds > 0.0 && spin_us >= 0.0)) {
        std::fprintf(stderr, "rate, seconds and spin must be positive\n");
        return 2;
    }
    const auto period = static_cast<std::int64_t>(std::llround(1e9 / rate));
    const auto cycles = static_cast<std::size_t>(seconds * rate);
    std::vector<double> errors;
    errors.reserve(cycles);
    double cpu_share = 0.0;
    Platform::RealtimeGrant grant;

    std::thread pacing([&] {
        grant = Platform::EnterRealtime();
        Pacer pacer(period, std::llround(spin_us * 1e3));
        const std::atomic<bool> never{false};
        const std::int64_t start = Platform::MonotonicNs();
        const std::int64_t cpu0 = Platform::ThreadCpuNs();
        pacer.Start(start);
        std::int64_t wake = 0;
        for (std::size_t i = 0; i < cycles && pacer.Wait(never, wake); ++i) {
            if (static_cast<double>(wake - start) >= warmup_s * 1e9) {
                errors.push_back(static_cast<double>(pacer.Lateness(wake)) / 1e3);
            }
            pacer.Advance(Platform::MonotonicNs());
        }
        cpu_share = static_cast<double>(Platform::ThreadCpuNs() - cpu0) /
                    static_cast<double>(Platform::MonotonicNs() - start);
        Platform::LeaveRealtime(grant);
    });
    pacing.join();

    std::sort(errors.begin(), errors.end());
    std::printf(
        "{\"cycles\": %zu, \"period_error_us\": {\"p50\": %.3f, \"p99\": %.3f, \"p999\": %.3f, "
        "\"max\": %.3f}, \"cpu_share\": %.4f, \"scheduler\": \"%s\", \"priority\": %d}\n",
        errors.size(), At(errors, 0.5), At(errors, 0.99), At(errors, 0.999),
        errors.empty() ? 0.0 : errors.back(), cpu_share, grant.scheduler, grant.priority);
    return 0;
}
