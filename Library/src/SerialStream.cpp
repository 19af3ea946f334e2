#include "Orvane/HardwareAPI/SerialStream.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <new>
#include <string>

#include "ErrorLine.h"
#include "SerialBuffer.h"
#include "platform/Platform.h"
#include "transport/Port.h"

namespace Orvane::HardwareAPI::IO {
namespace {

constexpr const char* kSource = "Library/src/SerialStream";
constexpr unsigned kStreamLine = 18;
constexpr unsigned kPortLine = 39;

// In force from the open on: 1000 ms between bytes, 8 ms per byte and 8 ms more for
// writes. Reads raise their constant to 1000 ms (ReadPort).
constexpr CommTimeouts kOpenTimeouts{1000, 8, 8, 8, 8};
constexpr std::uint32_t kReadTotalConstant = 1000;

}  // namespace

serialib::~serialib() {
    Close();
}

void serialib::Close() {
    if (handle_ != kInvalidPort) {
        Platform::ClosePort(handle_);
        handle_ = kInvalidPort;
    }
}

bool serialib::WithinDeadline(CommTimeouts& timeouts, std::size_t n, bool write) const {
    if (!has_deadline_) {
        return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline_ - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
        return false;
    }
    const auto cut = static_cast<std::uint32_t>(
        std::min<long long>(left, std::numeric_limits<std::uint32_t>::max()));
    std::uint32_t& constant =
        write ? timeouts.WriteTotalTimeoutConstant : timeouts.ReadTotalTimeoutConstant;
    std::uint32_t& multiplier =
        write ? timeouts.WriteTotalTimeoutMultiplier : timeouts.ReadTotalTimeoutMultiplier;
    const std::uint64_t usual = std::uint64_t{multiplier} * n + constant;
    if (usual > cut || (write && usual == 0)) {
        multiplier = 0;
        constant = cut;
    }
    if (!write && timeouts.ReadIntervalTimeout > cut) {
        timeouts.ReadIntervalTimeout = cut;
    }
    return true;
}

int serialib::NoPort() {
    if (errno == 0) {
        errno = EBADF;  // a write's error line names a failure, never "Success"
    }
    return 0;
}

void serialib::NoteFailure() {
    last_error_ = Platform::LastError();
    if (last_error_ == 0) {
        last_error_ = ETIMEDOUT;  // nothing failed but the clock
        errno = ETIMEDOUT;        // so that the caller's error line says so too
    }
}

std::streamsize serialib::ReadPort(char* destination, std::streamsize n) {
    timeouts_.ReadTotalTimeoutConstant =
        read_timeout_ms_ != 0 ? read_timeout_ms_ : kReadTotalConstant;
    timeouts_.ReadIntervalTimeout =
        read_timeout_ms_ != 0 ? read_timeout_ms_ : kOpenTimeouts.ReadIntervalTimeout;
    CommTimeouts in_force = timeouts_;
    if (!WithinDeadline(in_force, static_cast<std::size_t>(n), false)) {
        last_error_ = errno = ETIMEDOUT;
        return 0;
    }
    if (!Platform::ApplyTimeouts(handle_, in_force)) {
        NoteFailure();
        return -1;
    }
    const bool reply_pending = reply_pending_;
    const std::ptrdiff_t got = Platform::ReadPort(handle_, destination, static_cast<std::size_t>(n),
                                                  in_force, reply_pending);
    if (got > 0) {
        reply_pending_ = false;
    }
    if (got < 0) {
        NoteFailure();
    }
    return got < 0 ? -1 : static_cast<std::streamsize>(got);
}

bool serialib::WritePort(const char* source, std::size_t n) {
    CommTimeouts in_force = timeouts_;
    if (!WithinDeadline(in_force, n, true)) {
        last_error_ = errno = ETIMEDOUT;
        return false;
    }
    if (!Platform::WritePort(handle_, source, n, in_force)) {
        NoteFailure();
        return false;
    }
    return true;
}

serialib::int_type serialib::underflow() {
    if (!IsOpen()) {
        return traits_type::eof();
    }
    if (lookahead_held_) {
        return traits_type::to_int_type(lookahead_);
    }
    char c = 0;
    if (ReadPort(&c, 1) == 1) {
        lookahead_ = c;
        lookahead_held_ = true;
        return traits_type::to_int_type(c);
    }
    return traits_type::eof();
}

serialib::int_type serialib::uflow() {
    const int_type c = underflow();
    lookahead_held_ = false;
    return c;
}

std::streamsize serialib::xsgetn(char_type* s, std::streamsize n) {
    if (!IsOpen() || n <= 0) {
        return 0;
    }
    if (lookahead_held_) {
        s[0] = lookahead_;
        lookahead_held_ = false;
        if (n == 1) {
            return 1;
        }
        // The held character is handed out even when the port read fails.
        const std::streamsize got = ReadPort(s + 1, n - 1);
        return got < 0 ? 1 : got + 1;
    }
    const std::streamsize got = ReadPort(s, n);
    return got < 0 ? 0 : got;
}

std::streamsize serialib::xsputn(const char_type* s, std::streamsize n) {
    if (n <= 0) {
        return 0;
    }
    if (!IsOpen()) {
        return NoPort();
    }
    reply_pending_ = true;
    return WritePort(s, static_cast<std::size_t>(n)) ? n : 0;
}

serialib::int_type serialib::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        return traits_type::eof();
    }
    if (!IsOpen()) {
        NoPort();
        return traits_type::eof();
    }
    const char byte = traits_type::to_char_type(c);
    reply_pending_ = true;
    return WritePort(&byte, 1) ? c : traits_type::eof();
}

std::streamsize serialib::showmanyc() {
    if (!IsOpen()) {
        return 0;
    }
    if (lookahead_held_) {
        return 1;
    }
    char c = 0;
    if (ReadPort(&c, 1) == 1) {
        lookahead_ = c;
        lookahead_held_ = true;
        return 1;
    }
    return 0;
}

serialib::int_type serialib::pbackfail(int_type c) {
    if (lookahead_held_ || traits_type::eq_int_type(c, traits_type::eof())) {
        return traits_type::eof();
    }
    lookahead_ = traits_type::to_char_type(c);
    lookahead_held_ = true;
    return c;
}

std::streambuf* serialib::setbuf(char_type*, std::streamsize) {
    return this;
}

SerialStream::SerialStream(const char* port, bool open_now)
    : std::iostream(nullptr), port_(port != nullptr ? port : "") {
    if (open_now) {
        if (Open() < 0) {
            PrintErrorLine(kSource, kStreamLine, "unable to open stream '" + port_ + "'",
                           last_error_);
        }
    }
}

SerialStream::~SerialStream() {
    if (buffer_) {
        buffer_->Close();
    }
    set_rdbuf(nullptr);  // detach without a state change, which could throw here
}

std::int8_t SerialStream::Open() {
    buffer_ = std::make_unique<serialib>();
    rdbuf(buffer_.get());  // the stream is good from here on, whatever the port does

    std::int8_t code = kOpened;
    Platform::OpenOutcome outcome = Platform::OpenOutcome::Failed;
    try {
        buffer_->handle_ = Platform::OpenPort(port_, outcome);
    } catch (const std::bad_alloc&) {
        last_error_ = Platform::LastError();
        PrintErrorLine(kSource, kPortLine, "unable to open port '" + port_ + "'", last_error_);
        return kNotFound;
    }

    // The error number reported is the one of the step that failed, taken before DTR.
    if (buffer_->handle_ == kInvalidPort) {
        code = outcome == Platform::OpenOutcome::NotFound ? kNotFound : kOpenFailed;
        last_error_ = Platform::LastError();
    } else {
        switch (Platform::ConfigureLine(buffer_->handle_)) {
            case Platform::LineOutcome::SettingsUnreadable:
                code = kSettingsUnreadable;
                last_error_ = Platform::LastError();
                break;
            case Platform::LineOutcome::SettingsRejected:
                code = kSettingsRejected;
                last_error_ = Platform::LastError();
                break;
            case Platform::LineOutcome::Configured:
                buffer_->timeouts_ = kOpenTimeouts;
                if (!Platform::ApplyTimeouts(buffer_->handle_, buffer_->timeouts_)) {
                    code = kTimeoutsRejected;
                    last_error_ = Platform::LastError();
                }
                break;
        }
        if (code == kOpened) {
            Platform::RaiseDtr(buffer_->handle_);
        } else {
            // Not a port this stream can use (a regular file where the port should be, a
            // line that refuses its settings): nothing is read from or written to it.
            buffer_->Close();
        }
    }

    if (code == kOpened) {
        Transport::WarnNoLockFile(port_, Platform::LastRefusal());
    } else {
        // A lock file says whose the port is; the line passes that on.
        const std::string whose = code == kOpenFailed ? Platform::LastRefusal() : std::string();
        PrintErrorLine(
            kSource, kPortLine,
            "unable to open port '" + port_ + "'" + (whose.empty() ? "" : " (" + whose + ")"),
            last_error_);
    }
    return code;
}

}  // namespace Orvane::HardwareAPI::IO
