// What one port open and close costs while many other processes run, each holding some
// files: the open looks through every process's open files for another holder.
//
//   orvane-bench-open [--opens N] [--burners B] [PROCESSES:FILES ...]
//                                                   (default 0:0 2000:10 2000:50)
//
// For each PROCESSES:FILES it starts that many idle processes, each holding FILES files
// (half /dev/null, half pipe ends), opens and closes a pseudo-terminal N times with
// SerialStream and prints the median and the longest open + close in ms, one JSON object
// a line. Every process it starts is killed and reaped before the next case, and dies with
// it should it be killed itself. --burners B adds B processes that spin on the CPU for the
// whole run, as a machine busy with other work: the CPU time per open is the figure that
// says what an open costs there.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Orvane/HardwareAPI/SerialStream.h"

namespace {

struct Case {
    int processes = 0;
    int files = 0;
};

// Idle processes holding files, until destroyed.
class Crowd {
public:
    Crowd(int processes, int files) {
        int ready[2];
        if (pipe(ready) != 0) {
            std::perror("pipe");
            std::exit(1);
        }
        for (int i = 0; i < processes; ++i) {
            const pid_t child = fork();
            if (child < 0) {
                std::perror("fork");
                break;
            }
            if (child == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                close(ready[0]);
                for (int f = 0; f < files; f += 2) {
                    open("/dev/null", O_RDONLY);
                    int ends[2];
                    if (f + 1 < files && pipe(ends) == 0) {
                        close(ends[1]);  // one end per file
                    }
                }
                const char ok = 1;
                if (write(ready[1], &ok, 1) == 1) {
                    close(ready[1]);
                    pause();
                }
                _exit(0);
            }
            children_.push_back(child);
        }
        close(ready[1]);
        for (std::size_t i = 0; i < children_.size(); ++i) {
            char ok = 0;
            if (read(ready[0], &ok, 1) != 1) {
                break;
            }
        }
        close(ready[0]);
    }
    ~Crowd() {
        for (const pid_t child : children_) {
            kill(child, SIGKILL);
        }
        for (const pid_t child : children_) {
            waitpid(child, nullptr, 0);
        }
    }
    std::size_t size() const { return children_.size(); }

private:
    std::vector<pid_t> children_;
};

// Processes that keep a CPU busy each, until destroyed.
class Burners {
public:
    explicit Burners(int n) {
        for (int i = 0; i < n; ++i) {
            const pid_t child = fork();
            if (child == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                for (volatile unsigned long spin = 0;; ++spin) {
                }
            }
            if (child > 0) {
                children_.push_back(child);
            }
        }
    }
    ~Burners() {
        for (const pid_t child : children_) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }

private:
    std::vector<pid_t> children_;
};

double Ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// This process's processor time, the open's scan thread included: what an open costs
// whatever else the machine runs (the crowd is in processes of its own).
double CpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    int opens = 20;
    int burners = 0;
    std::vector<Case> cases;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--opens") == 0 && i + 1 < argc) {
            opens = std::max(1, std::atoi(argv[++i]));
            continue;
        }
        if (std::strcmp(argv[i], "--burners") == 0 && i + 1 < argc) {
            burners = std::max(0, std::atoi(argv[++i]));
            continue;
        }
        Case c;
        if (std::sscanf(argv[i], "%d:%d", &c.processes, &c.files) != 2 || c.processes < 0 ||
            c.files < 0) {
            std::fprintf(stderr, "orvane-bench-open: expected PROCESSES:FILES, got '%s'\n",
                         argv[i]);
            return 2;
        }
        cases.push_back(c);
    }
    if (cases.empty()) {
        cases = {{0, 0}, {2000, 10}, {2000, 50}};
    }
    const Burners busy(burners);
    for (const Case& c : cases) {
        const Crowd crowd(c.processes, c.files);
        int master = -1;
        int slave = -1;
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            std::perror("openpty");
            return 1;
        }
        close(slave);
        std::vector<double> took;
        std::vector<double> cpu;
        for (int i = 0; i < opens; ++i) {
            const double cpu_start = CpuMs();
            const auto start = std::chrono::steady_clock::now();
            {
                Orvane::HardwareAPI::IO::SerialStream stream(name, true);
                if (!stream.good()) {
                    return 1;
                }
            }
            took.push_back(Ms(std::chrono::steady_clock::now() - start));
            cpu.push_back(CpuMs() - cpu_start);
        }
        close(master);
        std::sort(took.begin(), took.end());
        std::sort(cpu.begin(), cpu.end());
        double load = 0;
        if (FILE* f = std::fopen("/proc/loadavg", "r")) {
            load = std::fscanf(f, "%lf", &load) == 1 ? load : 0;
            std::fclose(f);
        }
        std::printf(
            "{\"processes\": %zu, \"files_each\": %d, \"opens\": %d, \"median_ms\": %.2f, "
            "\"max_ms\": %.2f, \"median_cpu_ms\": %.2f, \"burners\": %d, \"load\": %.1f}\n",
            crowd.size(), c.files, opens, took[took.size() / 2], took.back(), cpu[cpu.size() / 2],
            burners, load);
        std::fflush(stdout);
    }
    return 0;
}
