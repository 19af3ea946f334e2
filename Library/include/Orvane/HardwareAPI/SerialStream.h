// A standard character iostream over one serial port. Every read and write goes straight
// to the port: no buffering beyond one look-ahead character, no thread, no queue.
#pragma once

#include <cstdint>
#include <iostream>
#include <memory>
#include <string>

namespace Orvane::HardwareAPI::IO {

// The stream buffer that owns the port, and the library's way to it; internal to the library.
class serialib;
class StreamAccess;

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

    // The error number of the open step that failed, 0 when none did: says why a port
    // could not be had (missing, no permission, held by another program).
    std::uint32_t OpenError() const { return last_error_; }

private:
    friend class StreamAccess;

    std::string port_;
    std::unique_ptr<serialib> buffer_;
    std::uint32_t last_error_ = 0;  // error number of the open step that failed
};

}  // namespace Orvane::HardwareAPI::IO
