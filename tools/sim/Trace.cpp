#include "Trace.h"

#include <cerrno>
#include <cstring>

namespace Orvane::Sim {

Trace::Trace(std::FILE* out, Clock::time_point start) : out_(out), start_(start) {}

Trace::~Trace() {
    std::fclose(out_);
}

std::unique_ptr<Trace> Trace::Open(const std::string& path, Clock::time_point start,
                                   std::string& error) {
    std::FILE* out = std::fopen(path.c_str(), "we");
    if (out == nullptr) {
        error = "cannot write the trace to '" + path + "': " + std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<Trace>(out, start);
}

void Trace::Begin(Clock::time_point at, std::uint8_t header) {
    const double seconds = std::chrono::duration<double>(at - start_).count();
    std::fprintf(out_, "%.6f %02X", seconds, header);
    pending_ = true;
}

void Trace::Request(Clock::time_point at, std::uint8_t header, const float* values,
                    std::size_t count) {
    Begin(at, header);
    for (std::size_t i = 0; i < count; ++i) {
        std::fprintf(out_, " %.9g", static_cast<double>(values[i]));
    }
    std::fputc('\n', out_);
}

void Trace::StateMessage(Clock::time_point at, std::uint8_t header, std::uint16_t device_id,
                         const std::uint8_t* data, std::size_t length) {
    Begin(at, header);
    std::fprintf(out_, " %u", static_cast<unsigned>(device_id));
    for (std::size_t i = 0; i < length; ++i) {
        std::fprintf(out_, " %u", static_cast<unsigned>(data[i]));
    }
    std::fputc('\n', out_);
}

void Trace::Flush() {
    if (pending_) {
        std::fflush(out_);
        pending_ = false;
    }
}

}  // namespace Orvane::Sim
