// orvane-sim: plays a simulated arm or handle on a pseudo-terminal (see --help).
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "ArmDevice.h"
#include "HandleDevice.h"
#include "Options.h"
#include "Pty.h"
#include "Replay.h"
#include "Server.h"
#include "Trace.h"

namespace {

int g_stop_write = -1;

void OnStopSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t w = write(g_stop_write, &byte, 1);
    errno = saved;
}

// A pipe that becomes readable when SIGINT, SIGTERM or SIGHUP arrives.
int StopPipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return -1;
    }
    g_stop_write = fds[1];
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(s, &sa, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
    return fds[0];
}

}  // namespace

int main(int argc, char** argv) {
    using namespace Orvane::Sim;
    Options options;
    const ParseResult parsed =
        ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options);
    if (parsed.action == ParseResult::Action::Help) {
        std::fputs(HelpText().c_str(), stdout);
        return 0;
    }
    if (parsed.action == ParseResult::Action::Version) {
        std::printf("%s\n", parsed.version.c_str());
        return 0;
    }
    if (parsed.action == ParseResult::Action::Error) {
        std::fprintf(stderr, "orvane-sim: %s\n(see orvane-sim --help)\n", parsed.error.c_str());
        return 2;
    }

    const Clock::time_point start = Clock::now();
    std::string error;
    std::unique_ptr<Trace> trace;
    if (!options.trace.empty() && !(trace = Trace::Open(options.trace, start, error))) {
        std::fprintf(stderr, "orvane-sim: %s\n", error.c_str());
        return 1;
    }
    if (options.latency_max_us > 0) {
        // The kernel's default 50 us of timer slack would blur latencies this short.
        prctl(PR_SET_TIMERSLACK, 1UL);
    }

    const int stop_fd = StopPipe();
    if (stop_fd < 0) {
        std::perror("orvane-sim: pipe");
        return 1;
    }
    std::unique_ptr<Pty> pty;
    try {
        pty = std::make_unique<Pty>();
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "orvane-sim: no pseudo-terminal: %s\n", e.what());
        return 1;
    }
    PortLink link;
    if (!options.link.empty() && !link.Make(options.link, pty->path(), error)) {
        std::fprintf(stderr, "orvane-sim: %s\n", error.c_str());
        return 1;
    }

    std::unique_ptr<SimDevice> device;
    if (options.kind == DeviceKind::Arm) {
        ArmIdentity id;
        id.device_id = options.device_id;
        id.model_number = options.model_number.value_or(id.model_number);
        id.hardware_version = options.hardware_version;
        id.firmware_version = options.firmware_version;
        id.uuid = options.uuid;
        Recorded<ArmSample> recording;
        if (!options.replay.empty() && !LoadArmReplay(options.replay, recording, id, error)) {
            std::fprintf(stderr, "orvane-sim: %s\n", error.c_str());
            return 1;
        }
        auto arm = std::make_unique<ArmDevice>(id);
        if (!options.replay.empty()) {
            arm->Replay(std::move(recording),
                        ReplayClock(options.replay_speed, options.replay_loop));
        }
        device = std::move(arm);
    } else {
        HandleIdentity id;
        id.device_id = options.device_id;
        id.model_number = options.model_number.value_or(id.model_number);
        id.hardware_version = options.hardware_version;
        id.firmware_version = options.firmware_version;
        Recorded<HandleSample> recording;
        if (!options.replay.empty() && !LoadHandleReplay(options.replay, recording, id, error)) {
            std::fprintf(stderr, "orvane-sim: %s\n", error.c_str());
            return 1;
        }
        auto handle = std::make_unique<HandleDevice>(id, start, options.stream_hz);
        if (!options.replay.empty()) {
            handle->Replay(std::move(recording),
                           ReplayClock(options.replay_speed, options.replay_loop));
        }
        device = std::move(handle);
    }
    device->SetTrace(trace.get());

    std::printf("%s\n", pty->path().c_str());
    std::fflush(stdout);

    Server server(*pty, *device, options, stop_fd, trace.get());
    return server.Run();
}
