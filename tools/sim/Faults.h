// Faults a simulated device can be asked to show, applied to each message it sends.
#pragma once

#include <cstdint>

#include "SimDevice.h"

namespace Orvane::Sim {

struct FaultPlan {
    bool silent = false;        // nothing is sent
    bool wrong_header = false;  // the header byte has its bits inverted
    bool short_reply = false;   // the last byte is left off
};

// The message as the faulty device sends it; empty when nothing goes out. An inverted
// header is never the header it replaces, nor any other header the devices send.
inline Message Distort(Message m, const FaultPlan& faults) {
    if (faults.silent || m.empty()) {
        return {};
    }
    if (faults.wrong_header) {
        m[0] = static_cast<std::uint8_t>(~m[0]);
    }
    if (faults.short_reply) {
        m.pop_back();
    }
    return m;
}

// Line noise: a fixed-seed pseudo-random byte sequence (xorshift32), the same every run.
class Noise {
public:
    Message Next(std::size_t n) {
        Message m(n);
        for (auto& byte : m) {
            state_ ^= state_ << 13;
            state_ ^= state_ >> 17;
            state_ ^= state_ << 5;
            byte = static_cast<std::uint8_t>(state_ >> 24);
        }
        return m;
    }

private:
    std::uint32_t state_ = 0x9E3779B9u;
};

}  // namespace Orvane::Sim
