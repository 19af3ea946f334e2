// Framing shared by both device kinds: a reference to the stream that leads to the
// device, two fixed message buffers, and the three primitives every byte goes through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "Protocol.h"

namespace Orvane::HardwareAPI {

namespace Devices {

class Device {
public:
    // Stores the reference and allocates both buffers zero-filled; no I/O.
    explicit Device(std::iostream& stream);
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    ~Device();

    // One block write of write-buffer bytes [0, n). Failures print their error line.
    void WriteBytes(std::size_t n);
    // One block read of one byte into read-buffer byte 0; the byte, or 0 on failure.
    std::uint8_t ReadHeaderCode();
    // One block read of n bytes into read-buffer bytes [0, n); n, or 0 on failure.
    std::int32_t ReadBytes(std::size_t n);

    std::uint8_t* WriteBuffer() { return write_.get(); }
    const std::uint8_t* ReadBuffer() const { return read_.get(); }
    std::iostream& Stream() { return *stream_; }

protected:
    // The reply read every arm Receive shares: header, then an n-byte payload.
    // Returns n with the payload at ReadBuffer()[0], or -1 (after a discard read of
    // kBufferSize bytes when the header was not the expected one).
    std::int32_t ReadReply(std::uint8_t expected_header, std::size_t n);

private:
    std::iostream* stream_;
    std::unique_ptr<std::uint8_t[]> write_;
    std::unique_ptr<std::uint8_t[]> read_;
};

}  // namespace Devices
}  // namespace Orvane::HardwareAPI
