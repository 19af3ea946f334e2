// One registration function per class group of the orvane._haptics extension.
#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>

namespace OrvaneBindings::Haptics {

// Thrown by the bindings when a native loop has ended with a fault or cannot begin; Python
// sees orvane.haptics.LoopFault (a RuntimeError), registered with the servo loop.
struct LoopFaultError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void RegisterServoLoop(pybind11::module_& m);
void RegisterHandleListener(pybind11::module_& m);

}  // namespace OrvaneBindings::Haptics
