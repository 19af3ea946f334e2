// The stream buffer behind SerialStream: it owns the port and turns every character
// operation of the stream into one platform read or write.
#pragma once

#include <chrono>
#include <cstdint>
#include <streambuf>

#include "Orvane/HardwareAPI/SerialStream.h"
#include "platform/PortTypes.h"

namespace Orvane::HardwareAPI::IO {

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
    // Ends every later read and write by `end` at the latest, whatever their usual bounds:
    // a probe must be over within its bound whatever the device sends.
    void SetDeadline(std::chrono::steady_clock::time_point end) {
        deadline_ = end;
        has_deadline_ = true;
    }
    // The error number of the last port read or write that failed; 0 when none has.
    std::uint32_t LastPortError() const { return last_error_; }

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
    // The time-outs for a transfer of n bytes, cut to what is left before the deadline;
    // false when the deadline has passed.
    bool WithinDeadline(CommTimeouts& timeouts, std::size_t n, bool write) const;
    // One port write under the write time-outs: false when fewer than n bytes went out.
    bool WritePort(const char* source, std::size_t n);
    void NoteFailure();
    // A write on a stream without a port: nothing goes out; 0.
    static int NoPort();

    char lookahead_ = 0;
    bool lookahead_held_ = false;
    PortHandle handle_ = kInvalidPort;
    CommTimeouts timeouts_{};
    std::uint32_t read_timeout_ms_ = 0;  // 0: the usual bounds
    // A write went out since the last read that delivered bytes: the next read waits for
    // the reply before trying, which saves a read that would find nothing.
    bool reply_pending_ = false;
    bool has_deadline_ = false;
    std::chrono::steady_clock::time_point deadline_{};
    std::uint32_t last_error_ = 0;
};

class StreamAccess {
public:
    static serialib* Buffer(SerialStream& stream) { return stream.buffer_.get(); }
};

// The buffer that owns a stream's port, or nullptr before its Open.
inline serialib* BufferOf(SerialStream& stream) {
    return StreamAccess::Buffer(stream);
}

}  // namespace Orvane::HardwareAPI::IO
