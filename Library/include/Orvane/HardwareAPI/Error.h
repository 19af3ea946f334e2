// How the library's newer classes (the servo loop and its effects, couplings, workspace and
// scene, the handle listener) report a failure: a kind a program can act on and a message for
// people. Every call of theirs that can fail returns one; none of them throws.
#pragma once

#include <string>
#include <utility>

namespace Orvane::HardwareAPI {

enum class ErrorKind {
    None,             // no failure: the call did what it says
    BadArgument,      // a value the call cannot take (NaN, negative, out of range, ...)
    PortUnavailable,  // the port could not be opened (missing, no permission, held)
    NoDevice,         // the port opened but no device of the right kind answered
    DeviceLost,       // the device stopped answering, answered wrongly or was unplugged
    NotRunning,       // the object was stopped, has failed, or belongs to the parent process
    NotFound,         // an id that names nothing (removed, never added, or 0)
    Unsupported,      // a library, release or platform feature this build cannot use
    OutOfResources,   // the system refused what the call needs (a thread)
};

struct Error {
    ErrorKind kind = ErrorKind::None;
    std::string message;

    Error() = default;
    Error(ErrorKind k, std::string text) : kind(k), message(std::move(text)) {}

    explicit operator bool() const { return kind != ErrorKind::None; }
};

}  // namespace Orvane::HardwareAPI
