// The servo loops of this process not yet destroyed, so that a program's exit can stop
// them all (zero force, ports closed) before the process goes.
#pragma once

namespace Orvane::HardwareAPI::Haptics {

class ServoLoop;

void RememberLoop(ServoLoop* loop);
// After this returns, no StopAllServoLoops reaches the loop any more.
void ForgetLoop(ServoLoop* loop);

}  // namespace Orvane::HardwareAPI::Haptics
