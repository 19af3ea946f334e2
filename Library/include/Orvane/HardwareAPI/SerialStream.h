// A standard character iostream over one serial port. Every read and write goes straight
// to the port: no buffering beyond one look-ahead character, no thread, no queue.
#pragma once

#include <cstdint>
#include <iostream>
#include <memory>
#include <streambuf>
#include <string>

namespace Orvane::HardwareAPI::IO {

// Time-outs in milliseconds, in the order the port applies them.
struct CommTimeouts {
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
};

// The platform's port handle; kInvalidPort means closed.
using PortHandle = std::intptr_t;
inline constexpr PortHandle kInvalidPort = -1;

// The stream buffer that owns the port. It never sets a get or put area, so every
// character operation of the stream reaches one of the overrides below.
class serialib : public std::streambuf {
public:
    serialib() = default;
    serialib(const serialib&) = delete;
    serialib& operator=(const serialib&) = delete;
    ~serialib() override;

    bool IsOpen() const { return handle_ != kInvalidPort; }
    // The platform's handle of the open port (kInvalidPort when closed), for callers that
    // query the port directly.
    PortHandle NativeHandle() const { return handle_; }
    // Closes the port now; the destructor then finds it closed.
    void Close();
    // Ends each read `ms` after it began or after its last byte (plus the per-byte
    // allowance) instead of the usual 1000 ms, for callers that must notice a silent
    // device sooner. 0 restores the usual bounds.
    void SetReadTimeout(std::uint32_t ms) { read_timeout_ms_ = ms; }

protected:
    int_type overflow(int_type c) override;
    int_type pbackfail(int_type c) override;
    std::streamsize showmanyc() override;
    int_type underflow() override;
    int_type uflow() override;
    std::streamsize xsgetn(char_type* s, std::streamsize n) override;
    std::streamsize xsputn(const char_type* s, std::streamsize n) override;
    std::streambuf* setbuf(char_type* s, std::streamsize n) override;

private:
    friend class SerialStream;

    // One port read under the read time-outs: bytes delivered (0..n), or -1 on error.
    std::streamsize ReadPort(char* destination, std::streamsize n);

    char lookahead_ = 0;
    bool lookahead_held_ = false;
    PortHandle handle_ = kInvalidPort;
    CommTimeouts timeouts_{};
    std::uint32_t read_timeout_ms_ = 0;  // 0: the usual bounds
    // A write went out since the last read that delivered bytes: the next read waits for
    // the reply before trying, which saves a read that would find nothing.
    bool reply_pending_ = false;
};

class SerialStream : public std::iostream {
public:
    // Result codes of Open.
    static constexpr std::int8_t kOpened = 1;
    static constexpr std::int8_t kNotFound = -1;
    static constexpr std::int8_t kOpenFailed = -2;
    static constexpr std::int8_t kSettingsUnreadable = -3;
    static constexpr std::int8_t kSettingsRejected = -5;
    static constexpr std::int8_t kTimeoutsRejected = -6;

    // With open_now the port is opened at once and a failure prints its error lines.
    // A port failure never throws; until Open runs the stream is bad.
    SerialStream(const char* port, bool open_now);
    SerialStream(const SerialStream&) = delete;
    SerialStream& operator=(const SerialStream&) = delete;
    ~SerialStream() override;

    // Opens and configures the port (115200 8N1, DTR raised, exclusive). Called once.
    std::int8_t Open();

    // The buffer that owns the port, or nullptr before Open.
    serialib* Buffer() { return buffer_.get(); }

private:
    std::string port_;
    std::unique_ptr<serialib> buffer_;
    std::uint32_t last_error_ = 0;  // error number of the open step that failed
};

}  // namespace Orvane::HardwareAPI::IO
