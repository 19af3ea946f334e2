// The loop every C++ client shares: warm-up exchanges, then the measured ones, then one
// JSON line on standard output with what was measured.
//
// Usage of every client: PROGRAM PORT MODE WARMUP COUNT [EXCHANGE]
//   MODE  timed   time each exchange and the process CPU time of the whole loop
//         count   a bare loop, for counting system calls and instructions from outside
//   EXCHANGE  arm (force request, state reply; the default) or status (handle status)
#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace OrvaneBench {

// Heap allocations made so far through operator new (counting_allocator.cpp).
unsigned long AllocationCount();

struct Args {
    const char* port = nullptr;
    bool timed = false;
    long warmup = 0;
    long count = 0;
    std::string exchange = "arm";
};

inline Args ParseArgs(int argc, char** argv) {
    Args a;
    if (argc < 5 || (std::strcmp(argv[2], "timed") != 0 && std::strcmp(argv[2], "count") != 0)) {
        std::fprintf(stderr, "usage: %s PORT timed|count WARMUP COUNT [arm|status]\n", argv[0]);
        std::exit(2);
    }
    a.port = argv[1];
    a.timed = std::strcmp(argv[2], "timed") == 0;
    a.warmup = std::strtol(argv[3], nullptr, 10);
    a.count = std::strtol(argv[4], nullptr, 10);
    if (argc > 5) {
        a.exchange = argv[5];
    }
    if (a.exchange != "arm" && a.exchange != "status") {
        std::fprintf(stderr, "%s: unknown exchange '%s'\n", argv[0], a.exchange.c_str());
        std::exit(2);
    }
    return a;
}

inline double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Runs `exchange` (a callable returning true when the reply decoded as expected) and
// prints the result line. Only the last exchange's verdict is reported: a silent device
// makes every exchange fail, which the driver expects in that mode.
template <class Exchange>
int Run(const char* client, const Args& a, Exchange&& exchange) {
    bool ok = true;
    for (long i = 0; i < a.warmup; ++i) {
        ok = exchange();
    }
    std::vector<double> times;
    double cpu = 0;
    double wall = 0;
    unsigned long allocations = 0;
    if (a.timed) {
        times.resize(static_cast<std::size_t>(a.count));
        const double cpu0 = CpuSeconds();
        const unsigned long alloc0 = AllocationCount();
        const auto wall0 = std::chrono::steady_clock::now();
        for (long i = 0; i < a.count; ++i) {
            const auto t0 = std::chrono::steady_clock::now();
            ok = exchange();
            const auto t1 = std::chrono::steady_clock::now();
            times[static_cast<std::size_t>(i)] =
                std::chrono::duration<double, std::micro>(t1 - t0).count();
        }
        wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        allocations = AllocationCount() - alloc0;
        cpu = CpuSeconds() - cpu0;
    } else {
        const unsigned long alloc0 = AllocationCount();
        for (long i = 0; i < a.count; ++i) {
            ok = exchange();
        }
        allocations = AllocationCount() - alloc0;
    }
    std::sort(times.begin(), times.end());
    auto pick = [&](double q) {
        if (times.empty()) {
            return 0.0;
        }
        const auto at = static_cast<std::size_t>(q * static_cast<double>(times.size() - 1));
        return times[at];
    };
    std::printf(
        "{\"client\": \"%s\", \"exchange\": \"%s\", \"mode\": \"%s\", \"count\": %ld, "
        "\"ok\": %s, \"allocations\": %lu, \"cpu_s\": %.9f, \"wall_s\": %.9f, "
        "\"median_us\": %.3f, \"p99_us\": %.3f, \"max_us\": %.3f}\n",
        client, a.exchange.c_str(), a.timed ? "timed" : "count", a.count, ok ? "true" : "false",
        allocations, cpu, wall, pick(0.5), pick(0.99), pick(1.0));
    std::fflush(stdout);
    return 0;
}

}  // namespace OrvaneBench
