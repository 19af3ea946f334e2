#include "transport/Port.h"

#include <atomic>
#include <cstdio>

#include "platform/Platform.h"
#include "platform/Realtime.h"

namespace Orvane::HardwareAPI::Transport {

Deadline In(std::int64_t ns) {
    return Platform::MonotonicNs() + ns;
}

void WarnNoLockFile(const std::string& port, const std::string& why) {
    static std::atomic<bool> warned{false};
    if (why.empty() || warned.exchange(true)) {
        return;
    }
    // The stream classes said it first, and programs that look for it know it by this place.
    const std::string line =
        "[warn] Library/src/SerialStream:39> port '" + port + "' opened with " + why + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

Error Port::Open(const std::string& name) {
    Close();
    open_error_ = 0;
    Platform::OpenOutcome outcome = Platform::OpenOutcome::Failed;
    handle_ = Platform::OpenPort(name, outcome);
    if (handle_ != IO::kInvalidPort) {
        if (Platform::ConfigureLine(handle_) == Platform::LineOutcome::Configured) {
            Platform::RaiseDtr(handle_);
            WarnNoLockFile(name, Platform::LastRefusal());
            return {};
        }
        // Not a line this port can use (a regular file where the port should be, a line
        // that refuses its settings): nothing is read from or written to it.
        open_error_ = Platform::LastError();
        Platform::ClosePort(handle_);
        handle_ = IO::kInvalidPort;
    } else {
        open_error_ = Platform::LastError();
    }
    char why[160] = "";
    if (open_error_ != 0) {
        Platform::ErrorText(open_error_, why, sizeof why);
    }
    return {ErrorKind::PortUnavailable, why};
}

Transfer Port::Read(Codec::Bytes into, Deadline deadline) const {
    if (!IsOpen()) {
        return {0, ErrorKind::DeviceLost};
    }
    const Platform::Transferred t =
        Platform::ReadBy(handle_, reinterpret_cast<char*>(into.data()), into.size(), deadline);
    return {t.bytes, t.line_lost ? ErrorKind::DeviceLost : ErrorKind::None};
}

Transfer Port::Write(Codec::ConstBytes bytes, Deadline deadline) const {
    if (!IsOpen()) {
        return {0, ErrorKind::DeviceLost};
    }
    const Platform::Transferred t = Platform::WriteBy(
        handle_, reinterpret_cast<const char*>(bytes.data()), bytes.size(), deadline);
    return {t.bytes, t.line_lost ? ErrorKind::DeviceLost : ErrorKind::None};
}

void Port::Close() {
    if (handle_ != IO::kInvalidPort) {
        Platform::ClosePort(handle_);
        handle_ = IO::kInvalidPort;
    }
}

}  // namespace Orvane::HardwareAPI::Transport
