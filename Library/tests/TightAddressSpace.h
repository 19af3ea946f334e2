// Leaves the process about 1 MB of address space beyond what it maps now, so that the next
// thread's stack cannot be mapped; the old limit comes back at the end of the scope. For a
// fresh process only (a death test in the thread-safe style): one that ran threads before
// keeps their stacks for reuse.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

namespace OrvaneTest {

class TightAddressSpace {
public:
    // Whether this system says how much the process maps, and so whether it can be done.
    static bool Possible() { return access("/proc/self/statm", R_OK) == 0; }

    TightAddressSpace() {
        unsigned long pages = 0;
        if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%lu", &pages) != 1) {
                pages = 0;
            }
            std::fclose(statm);
        }
        getrlimit(RLIMIT_AS, &old_);
        if (pages == 0) {
            return;
        }
        rlimit tight = old_;
        tight.rlim_cur = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (1 << 20);
        setrlimit(RLIMIT_AS, &tight);
    }
    ~TightAddressSpace() { setrlimit(RLIMIT_AS, &old_); }
    TightAddressSpace(const TightAddressSpace&) = delete;
    TightAddressSpace& operator=(const TightAddressSpace&) = delete;

private:
    rlimit old_{};
};

}  // namespace OrvaneTest
