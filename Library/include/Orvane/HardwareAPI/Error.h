// How the library's newer classes (the servo loop, the handle listener) report a failure:
// a kind a program can act on and a message for people. None of them throws.
#pragma once

#include <string>
#include <utility>

namespace Orvane::HardwareAPI {

enum class ErrorKind {
    None,
    BadArgument,      // a value the call cannot take (NaN, negative, out of range, ...)
    PortUnavailable,  // the port could not be opened (missing, no permission, held)
    NoDevice,         // the port opened but no device of the right kind answered
    DeviceLost,       // the device stopped answering, answered wrongly or was unplugged
    NotRunning,       // the object was stopped, has failed, or belongs to the parent process
};

struct Error {
    ErrorKind kind = ErrorKind::None;
    std::string message;

    Error() = default;
    Error(ErrorKind k, std::string text) : kind(k), message(std::move(text)) {}

    explicit operator bool() const { return kind != ErrorKind::None; }
};

}  // namespace Orvane::HardwareAPI
