// One registration function per class group of the orvane._haptics extension.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

#include "Orvane/HardwareAPI/ServoLoop.h"
#include "errors.h"
#include "initialised.h"

// The loop's state refuses instances whose __init__ never ran, like the effects.
template <>
struct pybind11::detail::type_caster<Orvane::HardwareAPI::Haptics::LoopState>
    : initialised_caster<Orvane::HardwareAPI::Haptics::LoopState> {};

namespace OrvaneBindings::Haptics {

// Thrown by the bindings when a native loop has ended with a fault or cannot begin; Python
// sees orvane.haptics.LoopFault (a RuntimeError). Library errors go through Raise/RaiseIf.
using Orvane::HardwareAPI::Python::LoopFaultError;
using Orvane::HardwareAPI::Python::Raise;
using Orvane::HardwareAPI::Python::RaiseIf;

void RegisterEffects(pybind11::module_& m);  // before the loop: its add() takes them
void RegisterServoLoop(pybind11::module_& m);
void RegisterHandleListener(pybind11::module_& m);
void RegisterFixtures(pybind11::module_& m);  // before the loop: its add() takes them
void RegisterTouch(pybind11::module_& m);     // after the loop: adds to its class
void RegisterScene(pybind11::module_& m);     // after the loop: adds to its class

// An effect object of orvane.haptics as the library's Effect (TypeError for anything else),
// and back.
Orvane::HardwareAPI::Haptics::Effect ToEffect(const pybind11::handle& value);
pybind11::object FromEffect(const Orvane::HardwareAPI::Haptics::Effect& effect);

// printf's format with up to four numbers, for the classes' reprs.
std::string Format(const char* format, double a, double b = 0, double c = 0, double d = 0);

// A set of percentiles as the dict the stats methods return (p50, p99, p999, max).
pybind11::dict PercentileDict(const Orvane::HardwareAPI::Haptics::Percentiles& p);

// The loop's cycles for Python: LoopState's class, stats(), history() and what a recorder
// drains after a cycle number.
void RegisterLoopState(pybind11::module_& m);
pybind11::dict LoopStatsDict(const Orvane::HardwareAPI::Haptics::ServoLoop& loop);
pybind11::dict LoopHistory(const Orvane::HardwareAPI::Haptics::ServoLoop& loop);
pybind11::dict LoopCyclesAfter(const Orvane::HardwareAPI::Haptics::ServoLoop& loop,
                               std::uint64_t after);

// The native loop of an orvane.haptics.ServoLoop: LoopOf for calls that change what the
// loop does (LoopFault once it has failed), LoopOfAny for those that only read it.
Orvane::HardwareAPI::Haptics::ServoLoop& LoopOf(const pybind11::handle& loop);
Orvane::HardwareAPI::Haptics::ServoLoop& LoopOfAny(const pybind11::handle& loop);

}  // namespace OrvaneBindings::Haptics
