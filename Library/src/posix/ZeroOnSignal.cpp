#include "platform/ZeroOnSignal.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/ZeroGuardProcess.h"

namespace Orvane::HardwareAPI::Platform {
namespace {

// The signals that end a process by default and that a handler can still act on.
// SIGINT is among them only where nothing handles it yet: a Python program, or any program
// with a handler of its own, turns it into an orderly stop that ends the loops itself.
constexpr std::array<int, 9> kSignals{SIGTERM, SIGHUP,  SIGQUIT, SIGINT, SIGSEGV,
                                      SIGBUS,  SIGABRT, SIGFPE,  SIGILL};

enum SlotState : int { kFree = 0, kFilling = 1, kReady = 2 };

// Everything the handler reads is a lock-free atomic: it may run at any instruction of any
// thread, also halfway through GuardPort.
struct Slot {
    std::atomic<int> state{kFree};
    std::atomic<int> fd{-1};
    std::atomic<pid_t> owner{0};  // a forked child must not write to its parent's ports
    std::atomic<int> zero_guard{-1};
    std::atomic<std::size_t> size{0};
    std::array<std::atomic<std::uint8_t>, kMaxGuardMessage> bytes{};
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<pid_t>::is_always_lock_free &&
              std::atomic<std::size_t>::is_always_lock_free &&
              std::atomic<std::uint8_t>::is_always_lock_free);

std::array<Slot, kMaxGuardedPorts> g_slots;
// Handlers between reading a slot and finishing its write; UnguardPort waits for them so a
// port is never written after its owner closed it (and the number went to another file).
std::atomic<int> g_writing{0};
// Loop threads inside a write to a guarded port, and whether a signal is ending the process.
std::atomic<int> g_loop_writes{0};
std::atomic<bool> g_ending{false};
// How long the handler waits for loop writes in flight: a write of a few bytes takes
// microseconds; a signal taken by the writing thread itself must not wait forever.
constexpr long kWriteWaitNs = 20'000'000;

struct Previous {
    bool installed = false;
    struct sigaction action {};
};
// Written once under g_install, before the handler for that signal is installed.
std::array<Previous, kSignals.size()> g_previous;
std::mutex g_install;
bool g_installed = false;

int IndexOf(int sig) {
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        if (kSignals[i] == sig) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// One non-blocking write per port: a port whose line is stuck must not keep the process
// from ending.
void WriteGuardedPorts() {
    const pid_t self = getpid();
    g_writing.fetch_add(1, std::memory_order_acq_rel);
    for (Slot& slot : g_slots) {
        if (slot.state.load(std::memory_order_acquire) != kReady ||
            slot.owner.load(std::memory_order_relaxed) != self) {
            continue;
        }
        const int fd = slot.fd.load(std::memory_order_relaxed);
        const std::size_t size = slot.size.load(std::memory_order_relaxed);
        std::uint8_t message[kMaxGuardMessage];
        for (std::size_t i = 0; i < size; ++i) {
            message[i] = slot.bytes[i].load(std::memory_order_relaxed);
        }
        const int flags = fcntl(fd, F_GETFL);
        if (flags == -1) {
            continue;
        }
        if ((flags & O_NONBLOCK) == 0) {
            fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        }
        const ssize_t written = write(fd, message, size);
        if ((flags & O_NONBLOCK) == 0) {
            fcntl(fd, F_SETFL, flags);
        }
        if (written == static_cast<ssize_t>(size)) {
            TellZeroSent(slot.zero_guard.load(std::memory_order_relaxed));
        }
    }
    g_writing.fetch_sub(1, std::memory_order_acq_rel);
}

bool Fatal(int sig) {
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGABRT || sig == SIGFPE || sig == SIGILL;
}

// From here on no loop writes, and those in flight have ended (or the wait ran out).
void EndLoopWrites() {
    g_ending.store(true, std::memory_order_seq_cst);
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (g_loop_writes.load(std::memory_order_seq_cst) != 0) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1'000'000'000L + (now.tv_nsec - start.tv_nsec) >
            kWriteWaitNs) {
            break;
        }
    }
}

void OnSignal(int sig, siginfo_t* info, void* context) {
    const int saved_errno = errno;
    const int index = IndexOf(sig);
    const struct sigaction& previous = g_previous[static_cast<std::size_t>(index)].action;
    const bool with_info =
        (previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr;
    const bool plain = !with_info && previous.sa_handler != SIG_DFL &&
                       previous.sa_handler != SIG_IGN && previous.sa_handler != nullptr;
    // A signal the program handles itself may let it go on, loops and all: nothing goes on
    // the wire then (a request whose reply nobody reads would put every later reply a cycle
    // behind). If its handler ends the program, the loops' stop or the zero guard process
    // sends the zero. One that ends the process stops the loops' writes first, so the zero
    // below is the last thing each arm gets; so does a fault, which no handler repairs.
    const bool ending = (!with_info && !plain) || Fatal(sig);
    if (ending) {
        EndLoopWrites();
        WriteGuardedPorts();
    }
    if (with_info) {
        previous.sa_sigaction(sig, info, context);
    } else if (plain) {
        previous.sa_handler(sig);
    } else {
        // The default action, as without us: the signal stays blocked until this handler
        // returns, then ends the process. A fault re-raises itself on return as well.
        signal(sig, SIG_DFL);
        raise(sig);
    }
    errno = saved_errno;
}

// A forked child does not keep its parent's zero guards watching: the parent's death must
// still reach them while the child lives on. Slots the parent inherited itself were closed
// in it already (their numbers may be in other use now).
std::atomic<pid_t> g_forking{0};

void NoteForking() {
    g_forking.store(getpid());
}

void CloseParentsZeroGuards() {
    const pid_t parent = g_forking.load();
    for (Slot& slot : g_slots) {
        if (slot.state.load(std::memory_order_acquire) == kReady &&
            slot.owner.load(std::memory_order_relaxed) == parent) {
            const int channel = slot.zero_guard.load(std::memory_order_relaxed);
            if (channel >= 0) {
                close(channel);
            }
        }
    }
}

void InstallOnce() {
    std::lock_guard<std::mutex> lock(g_install);
    if (g_installed) {
        return;
    }
    g_installed = true;
    pthread_atfork(NoteForking, nullptr, CloseParentsZeroGuards);
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        struct sigaction previous {};
        if (sigaction(kSignals[i], nullptr, &previous) != 0) {
            continue;
        }
        const bool handled = (previous.sa_flags & SA_SIGINFO) != 0 ||
                             (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN);
        // An ignored signal ends nothing (a program under nohup keeps running).
        if (previous.sa_handler == SIG_IGN && (previous.sa_flags & SA_SIGINFO) == 0) {
            continue;
        }
        if (kSignals[i] == SIGINT && handled) {
            continue;
        }
        g_previous[i].action = previous;
        g_previous[i].installed = true;
        struct sigaction ours {};
        ours.sa_sigaction = OnSignal;
        sigemptyset(&ours.sa_mask);
        // An overflowed stack can still be handled where the thread has a spare one.
        ours.sa_flags = SA_SIGINFO | SA_ONSTACK | (previous.sa_flags & SA_RESTART);
        sigaction(kSignals[i], &ours, nullptr);
    }
}

}  // namespace

int GuardPort(IO::PortHandle port, const std::uint8_t* message, std::size_t size, int zero_guard) {
    if (port < 0 || size > kMaxGuardMessage || (size > 0 && message == nullptr)) {
        return -1;
    }
    InstallOnce();
    const pid_t self = getpid();
    for (std::size_t i = 0; i < g_slots.size(); ++i) {
        Slot& slot = g_slots[i];
        int state = slot.state.load(std::memory_order_acquire);
        // A slot a parent process filled before the fork is free in the child.
        const bool inherited =
            state == kReady && slot.owner.load(std::memory_order_relaxed) != self;
        if (!(state == kFree || inherited) ||
            !slot.state.compare_exchange_strong(state, kFilling, std::memory_order_acq_rel)) {
            continue;
        }
        slot.fd.store(static_cast<int>(port), std::memory_order_relaxed);
        slot.owner.store(self, std::memory_order_relaxed);
        slot.zero_guard.store(zero_guard, std::memory_order_relaxed);
        slot.size.store(size, std::memory_order_relaxed);
        for (std::size_t k = 0; k < size; ++k) {
            slot.bytes[k].store(message[k], std::memory_order_relaxed);
        }
        slot.state.store(kReady, std::memory_order_release);
        return static_cast<int>(i);
    }
    return -1;
}

bool BeginGuardedWrite() {
    g_loop_writes.fetch_add(1, std::memory_order_seq_cst);
    if (g_ending.load(std::memory_order_seq_cst)) {
        g_loop_writes.fetch_sub(1, std::memory_order_seq_cst);
        return false;
    }
    return true;
}

void EndGuardedWrite() {
    g_loop_writes.fetch_sub(1, std::memory_order_seq_cst);
}

void NoteZeroSent(int slot) {
    if (slot >= 0 && static_cast<std::size_t>(slot) < g_slots.size()) {
        TellZeroSent(g_slots[static_cast<std::size_t>(slot)].zero_guard.load());
    }
}

void UnguardPort(int slot) {
    if (slot < 0 || static_cast<std::size_t>(slot) >= g_slots.size()) {
        return;
    }
    g_slots[static_cast<std::size_t>(slot)].state.store(kFree, std::memory_order_release);
    // A handler on another thread may still be writing the old message; the caller closes
    // the port next. Handlers take microseconds, and one on this thread has already ended.
    while (g_writing.load(std::memory_order_acquire) != 0) {
        sched_yield();
    }
}

}  // namespace Orvane::HardwareAPI::Platform
