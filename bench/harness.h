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

// What the whole machine did, in clock ticks: every CPU's time, its idle share (idle and
// waiting for I/O), the hypervisor's steal, and the CPU time of the device peer (whose
// process id the driver passes in ORVANE_BENCH_PEER_PID).
struct MachineSample {
    unsigned long long total = 0, idle = 0, steal = 0, peer = 0;
};

inline MachineSample SampleMachine() {
    MachineSample m;
    if (FILE* f = std::fopen("/proc/stat", "r")) {
        unsigned long long v[8] = {};
        if (std::fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2],
                        &v[3], &v[4], &v[5], &v[6], &v[7]) == 8) {
            for (unsigned long long x : v) {
                m.total += x;
            }
            m.idle = v[3] + v[4];
            m.steal = v[7];
        }
        std::fclose(f);
    }
    if (const char* pid = std::getenv("ORVANE_BENCH_PEER_PID")) {
        const std::string path = std::string("/proc/") + pid + "/stat";
        if (FILE* f = std::fopen(path.c_str(), "r")) {
            char line[1024] = {};
            const std::size_t n = std::fread(line, 1, sizeof line - 1, f);
            line[n] = 0;
            // Fields after the command name's closing parenthesis: state is field 3,
            // user and system time are fields 14 and 15.
            if (const char* p = std::strrchr(line, ')')) {
                unsigned long long utime = 0, stime = 0;
                if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                                &utime, &stime) == 2) {
                    m.peer = utime + stime;
                }
            }
            std::fclose(f);
        }
    }
    return m;
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
    MachineSample m0, m1;
    if (a.timed) {
        times.resize(static_cast<std::size_t>(a.count));
        m0 = SampleMachine();
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
        m1 = SampleMachine();
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
        "\"median_us\": %.3f, \"p99_us\": %.3f, \"max_us\": %.3f, "
        "\"machine_ticks\": {\"total\": %llu, \"idle\": %llu, \"steal\": %llu, "
        "\"peer\": %llu}}\n",
        client, a.exchange.c_str(), a.timed ? "timed" : "count", a.count, ok ? "true" : "false",
        allocations, cpu, wall, pick(0.5), pick(0.99), pick(1.0), m1.total - m0.total,
        m1.idle - m0.idle, m1.steal - m0.steal, m1.peer - m0.peer);
    std::fflush(stdout);
    return 0;
}

}  // namespace OrvaneBench
