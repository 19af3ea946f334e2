// The request log of --trace: one text line per request the device received, so a test or
// a person can see exactly what a host sent and when, for example the last force before a
// port closed.
//
// Line layout: seconds on the monotonic clock since the simulator started (microsecond
// resolution), the header byte as two hex digits, then the request's values, all separated
// by single spaces. Floats are written with enough digits to read back the exact float32.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "SimDevice.h"

namespace Orvane::Sim {

class Trace {
public:
    // Writes to `out`, which the trace then owns and closes; time zero is `start`.
    Trace(std::FILE* out, Clock::time_point start);
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;
    ~Trace();

    // Creates or truncates `path`; nullptr with `error` set when that fails.
    static std::unique_ptr<Trace> Open(const std::string& path, Clock::time_point start,
                                       std::string& error);

    // A request without values, or with `count` float values (the vector requests).
    void Request(Clock::time_point at, std::uint8_t header, const float* values = nullptr,
                 std::size_t count = 0);
    // The handle's state message: its device id, then each user data byte in decimal.
    void StateMessage(Clock::time_point at, std::uint8_t header, std::uint16_t device_id,
                      const std::uint8_t* data, std::size_t length);

    // Hands the lines written so far to the file. The server calls it before it answers,
    // so a host that holds a reply finds its request in the file.
    void Flush();

private:
    void Begin(Clock::time_point at, std::uint8_t header);

    std::FILE* out_;
    Clock::time_point start_;
    bool pending_ = false;
};

}  // namespace Orvane::Sim
