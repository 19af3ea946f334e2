#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "ArmDevice.h"
#include "HandleDevice.h"
#include "Orvane/HardwareAPI/Protocol.h"
#include "Trace.h"

using namespace Orvane::Sim;
namespace P = Orvane::HardwareAPI::Protocol;
using std::chrono::microseconds;

namespace {

// A trace into memory; Text() is what the file would hold once the trace is closed.
class MemoryTrace {
public:
    MemoryTrace() : trace_(std::make_unique<Trace>(open_memstream(&data_, &size_), t0)) {}
    ~MemoryTrace() { std::free(data_); }
    Trace* get() { return trace_.get(); }
    std::string Text() {
        trace_.reset();
        return std::string(data_, size_);
    }

    const Clock::time_point t0 = Clock::now();

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::unique_ptr<Trace> trace_;
};

void Feed(SimDevice& device, const Message& bytes, Clock::time_point at) {
    std::vector<Message> replies;
    device.Receive(bytes.data(), bytes.size(), at, replies);
}

}  // namespace

TEST(Trace, ArmRequestsOneLineEachWithExactFloats) {
    MemoryTrace trace;
    ArmDevice arm({});
    arm.SetTrace(trace.get());
    Message force(13);
    force[0] = P::Arm::kForce;
    const float f[3] = {0.1f, -2.5f, 3.0e-7f};
    P::PutF32x3(force.data() + 1, f);
    // The force request arrives in two pieces: one line, stamped when it was complete.
    Feed(arm, {P::Arm::kWakeup}, trace.t0 + microseconds(1500));
    Feed(arm, Message(force.begin(), force.begin() + 5), trace.t0 + microseconds(2000));
    Feed(arm, Message(force.begin() + 5, force.end()), trace.t0 + microseconds(2250));
    Feed(arm, {0x77, P::Arm::kCurrentRequest}, trace.t0 + std::chrono::seconds(3));
    EXPECT_EQ(trace.Text(),
              "0.001500 0A\n"
              "0.002250 2A 0.100000001 -2.5 3.00000011e-07\n"
              "3.000000 AB\n");
}

TEST(Trace, HandleRequestsAndStateMessageValues) {
    MemoryTrace trace;
    HandleDevice handle({}, trace.t0);
    handle.SetTrace(trace.get());
    Feed(handle, {P::HandleMsg::kStatusRequest, P::HandleMsg::kState, 0x02, 0x01, 3, 0, 7, 255},
         trace.t0 + microseconds(10));
    Feed(handle, {P::HandleMsg::kState, 0x05, 0x00, 0}, trace.t0 + microseconds(20));
    EXPECT_EQ(trace.Text(),
              "0.000010 DA\n"
              "0.000010 DB 258 0 7 255\n"
              "0.000020 DB 5\n");
}
