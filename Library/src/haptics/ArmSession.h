// The servo loop's hold on its arm: the port opened and the arm woken (it answers with its
// device information), its first state read, the guards that send zero force however the
// program ends, the final zero and the close.
#pragma once

#include <optional>
#include <string>

#include "Orvane/HardwareAPI/DeviceInfo.h"
#include "Orvane/HardwareAPI/Error.h"
#include "Orvane/HardwareAPI/ServoLoop.h"
#include "haptics/ArmLink.h"
#include "platform/ZeroGuardProcess.h"
#include "transport/Port.h"

namespace Orvane::HardwareAPI::Haptics {

class ArmSession {
public:
    // Opens the port, wakes the arm and reads where it is into `first`; on a failure the
    // session is closed again and the error says why.
    Error Open(const std::string& port, double reply_timeout_s, DeviceInfo& info, LoopState& first);
    // Before the loop thread runs: whatever ends the program from here on, the arm gets its
    // zero.
    Error Guard();
    // The last message of a loop: zero force. With read_reply, the arm's answer (when it
    // came) updates `last`, and true says so.
    bool SendFinalZero(bool read_reply, LoopState& last);
    void Close();

    bool IsOpen() const { return link_.has_value(); }
    ArmLink& Link() { return *link_; }

private:
    Transport::Port port_;
    std::optional<ArmLink> link_;
    int guard_slot_ = -1;
    Platform::ZeroGuardProcess zero_guard_;
};

}  // namespace Orvane::HardwareAPI::Haptics
