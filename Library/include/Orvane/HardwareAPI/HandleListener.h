// Listens to a Handle on its own thread and keeps the newest status as a snapshot that any
// thread can take at once. A wired handle is asked for its status at a set rate; a wireless
// one streams status messages unprompted and the listener only reads them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Error.h"
#include "Handle.h"

namespace Orvane::HardwareAPI::Haptics {

struct HandleListenerConfig {
    // Status requests per second for a wired handle; 0 for a wireless handle that streams.
    double request_hz = 100.0;
};

// The newest status message, as the handle sent it. sequence 0: none has arrived yet.
struct HandleSnapshot {
    double time = 0;             // s on the monotonic clock since the listener started
    std::uint64_t sequence = 0;  // status messages received so far
    std::uint16_t device_id = 0;
    std::array<float, 4> quaternion{};  // w, x, y, z
    std::uint8_t hall_effect = 0;
    std::uint8_t error_flag = 0;
    std::uint8_t user_data_length = 0;
    std::array<std::uint8_t, Protocol::HandleMsg::kMaxUserData> user_data{};
};

struct HandleListenerStats {
    std::uint64_t messages = 0;  // status messages
    std::uint64_t requests = 0;  // status requests sent (wired handle)
    std::uint64_t errors = 0;    // error responses
    std::uint8_t last_error_code = 0;
    std::uint64_t unknown_bytes = 0;  // bytes that started no message the handle sends
    double rate_hz = 0;               // status messages per second since the first one
};

class HandleListener {
public:
    // Opens the port (a name as SerialStream takes it). A rate or port it cannot take leaves
    // the listener failed, with the reason in Fault(). Nothing is sent before Start.
    explicit HandleListener(const std::string& port, const HandleListenerConfig& config = {});
    HandleListener(const HandleListener&) = delete;
    HandleListener& operator=(const HandleListener&) = delete;
    ~HandleListener();  // stops

    // Starts the thread, which wakes the handle first. Does nothing while running; an error
    // once the listener was stopped or has failed, OutOfResources when the system refuses the
    // thread (the listener can be started again).
    Error Start();
    // Ends the thread and closes the port, within some 20 ms whatever the handle does.
    void Stop();

    bool Running() const;
    // Why the listener cannot run, or why its thread ended on its own (a silent, garbled or
    // unplugged handle); no error otherwise.
    Error Fault() const;

    // The newest values, at once. Safe from any thread; never waits for the listener.
    HandleSnapshot Snapshot() const;
    HandleListenerStats Stats() const;
    // The handle's information message, once it came.
    std::optional<Devices::HandleInfo> DeviceInfo() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;  // none when the listener could not be set up
    Error failure_;
};

}  // namespace Orvane::HardwareAPI::Haptics
