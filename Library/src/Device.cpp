#include "Orvane/HardwareAPI/Device.h"

#include <iostream>
#include <string>

#include "ErrorLine.h"
#include "SerialBuffer.h"
#include "platform/Platform.h"

namespace Orvane::HardwareAPI::Devices {
namespace {

constexpr const char* kSource = "Library/src/Device";
constexpr unsigned kWriteLine = 39;
constexpr unsigned kHeaderLine = 49;
constexpr unsigned kReadLine = 60;

enum class Outcome { Success, EndOfFile, Error };

// A stream at end-of-file has timed out or lost its port before: that failure is silent.
// Any other failure is reported with the system's last error number.
Outcome Check(const std::iostream& stream) {
    if (stream.good()) {
        return Outcome::Success;
    }
    if (stream.eof()) {
        return Outcome::EndOfFile;
    }
    return Outcome::Error;
}

// The error behind a failed operation. A stream that had failed before never reached its
// port this time, so the system's last error says nothing about it: the failure that
// stopped the stream, as its port recorded it, is the one to report.
std::uint32_t FailureOf(const std::iostream& stream, bool was_good) {
    const std::uint32_t system = Platform::LastError();
    if (was_good) {
        return system;
    }
    const auto* port = dynamic_cast<const IO::serialib*>(stream.rdbuf());
    return port != nullptr && port->LastPortError() != 0 ? port->LastPortError() : system;
}

}  // namespace

Device::Device(std::iostream& stream)
    : stream_(&stream),
      write_(std::make_unique<std::uint8_t[]>(Protocol::kBufferSize)),
      read_(std::make_unique<std::uint8_t[]>(Protocol::kBufferSize)) {}

Device::~Device() = default;

void Device::WriteBytes(std::size_t n) {
    if (n > Protocol::kBufferSize) {
        return;  // never read past the write buffer
    }
    const bool was_good = stream_->good();
    stream_->write(reinterpret_cast<const char*>(write_.get()), static_cast<std::streamsize>(n));
    if (Check(*stream_) == Outcome::Error) {
        const std::uint32_t error = FailureOf(*stream_, was_good);  // before the message allocates
        PrintErrorLine(kSource, kWriteLine,
                       "unable to write '" + std::to_string(n) + "' bytes to stream", error);
    }
}

std::uint8_t Device::ReadHeaderCode() {
    stream_->read(reinterpret_cast<char*>(read_.get()), 1);
    switch (Check(*stream_)) {
        case Outcome::Success:
            return read_[0];
        case Outcome::Error: {
            const std::uint32_t error = Platform::LastError();  // before the message allocates
            PrintErrorLine(kSource, kHeaderLine, "unable to read header code from stream", error);
            return 0;
        }
        case Outcome::EndOfFile:
            return 0;
    }
    return 0;
}

std::int32_t Device::ReadBytes(std::size_t n) {
    if (n > Protocol::kBufferSize) {
        return 0;  // never write past the read buffer
    }
    stream_->read(reinterpret_cast<char*>(read_.get()), static_cast<std::streamsize>(n));
    switch (Check(*stream_)) {
        case Outcome::Success:
            return static_cast<std::int32_t>(stream_->gcount());
        case Outcome::Error: {
            const std::uint32_t error = Platform::LastError();  // before the message allocates
            PrintErrorLine(kSource, kReadLine,
                           "unable to read '" + std::to_string(n) + "' bytes from stream", error);
            return 0;
        }
        case Outcome::EndOfFile:
            return 0;
    }
    return 0;
}

std::int32_t Device::ReadReply(std::uint8_t expected_header, std::size_t n) {
    if (ReadHeaderCode() != expected_header) {
        ReadBytes(Protocol::kBufferSize);
        return -1;
    }
    if (ReadBytes(n) != static_cast<std::int32_t>(n)) {
        return -1;
    }
    return static_cast<std::int32_t>(n);
}

}  // namespace Orvane::HardwareAPI::Devices
