#include "haptics/OpenLoops.h"

#include <mutex>
#include <set>

#include "Orvane/HardwareAPI/ServoLoop.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

// Never on a loop's own thread: only construction, destruction and the exit's stop take it.
std::mutex& LoopsMutex() {
    static std::mutex mutex;
    return mutex;
}

std::set<ServoLoop*>& Loops() {
    static std::set<ServoLoop*> loops;
    return loops;
}

}  // namespace

void RememberLoop(ServoLoop* loop) {
    const std::lock_guard<std::mutex> hold(LoopsMutex());
    Loops().insert(loop);
}

void ForgetLoop(ServoLoop* loop) {
    const std::lock_guard<std::mutex> hold(LoopsMutex());
    Loops().erase(loop);
}

// A loop being destroyed meanwhile waits in ForgetLoop until its stop here is over.
void StopAllServoLoops() {
    const std::lock_guard<std::mutex> hold(LoopsMutex());
    for (ServoLoop* loop : Loops()) {
        loop->Stop();
    }
}

}  // namespace Orvane::HardwareAPI::Haptics
