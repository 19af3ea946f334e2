// One registration function per class group of the orvane._haptics extension.
#pragma once

#include <pybind11/pybind11.h>

#include "Orvane/HardwareAPI/ServoLoop.h"
#include "errors.h"

namespace OrvaneBindings::Haptics {

// Thrown by the bindings when a native loop has ended with a fault or cannot begin; Python
// sees orvane.haptics.LoopFault (a RuntimeError). Library errors go through Raise/RaiseIf.
using Orvane::HardwareAPI::Python::LoopFaultError;
using Orvane::HardwareAPI::Python::Raise;
using Orvane::HardwareAPI::Python::RaiseIf;

void RegisterServoLoop(pybind11::module_& m);
void RegisterHandleListener(pybind11::module_& m);
void RegisterFixtures(pybind11::module_& m);  // before the loop: its add() takes them
void RegisterTouch(pybind11::module_& m);     // after the loop: adds to its class

// The native loop of an orvane.haptics.ServoLoop: LoopOf for calls that change what the
// loop does (LoopFault once it has failed), LoopOfAny for those that only read it.
Orvane::HardwareAPI::Haptics::ServoLoop& LoopOf(const pybind11::handle& loop);
Orvane::HardwareAPI::Haptics::ServoLoop& LoopOfAny(const pybind11::handle& loop);

}  // namespace OrvaneBindings::Haptics
