// The one place where a failure of the library becomes a Python exception: a bad argument or
// an id that names nothing (an effect or coupling removed) is a ValueError, everything else
// (the port, the device, a loop that ended, a refused thread) is orvane.haptics.LoopFault, a
// RuntimeError that the orvane._haptics extension defines once. Adding a scene turns
// Unsupported into ImportError itself: there it means the MuJoCo installed, not the loop.
#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

#include "Orvane/HardwareAPI/Error.h"

namespace Orvane::HardwareAPI::Python {

namespace py = pybind11;

// Thrown by binding code; Python sees LoopFault.
struct LoopFaultError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void Raise(const Error& error) {
    if (error.kind == ErrorKind::BadArgument || error.kind == ErrorKind::NotFound) {
        throw py::value_error(error.message);
    }
    throw LoopFaultError(error.message);
}

// For calls that report an Error: returns when there is none.
inline void RaiseIf(const Error& error) {
    if (error) {
        Raise(error);
    }
}

// Defines LoopFault in m and makes LoopFaultError raise it. Called once, by orvane._haptics.
inline void RegisterLoopFault(py::module_& m) {
    py::register_exception<LoopFaultError>(m, "LoopFault", PyExc_RuntimeError);
    m.attr("LoopFault").attr("__doc__") =
        "A servo loop or a handle listener ended with a fault, or could not begin: the port "
        "did not open, the device did not answer, answered wrongly or went away, or the "
        "object was stopped.";
}

}  // namespace Orvane::HardwareAPI::Python
