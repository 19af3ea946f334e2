// One registration function per class group of the orvane._haptics extension.
#pragma once

#include <pybind11/pybind11.h>

#include "errors.h"

namespace OrvaneBindings::Haptics {

// Thrown by the bindings when a native loop has ended with a fault or cannot begin; Python
// sees orvane.haptics.LoopFault (a RuntimeError). Library errors go through Raise/RaiseIf.
using Orvane::HardwareAPI::Python::LoopFaultError;
using Orvane::HardwareAPI::Python::Raise;
using Orvane::HardwareAPI::Python::RaiseIf;

void RegisterServoLoop(pybind11::module_& m);
void RegisterHandleListener(pybind11::module_& m);

}  // namespace OrvaneBindings::Haptics
