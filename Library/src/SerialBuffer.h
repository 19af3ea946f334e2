// The stream buffer behind SerialStream: it owns the port and turns every character
// operation of the stream into one platform read or write.
#pragma once

#include <cstdint>
#include <streambuf>

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

}  // namespace Orvane::HardwareAPI::IO
