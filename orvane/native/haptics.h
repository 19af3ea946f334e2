// One registration function per class group of the orvane._haptics extension.
#pragma once

#include <pybind11/pybind11.h>

namespace OrvaneBindings::Haptics {

void RegisterServoLoop(pybind11::module_& m);
void RegisterHandleListener(pybind11::module_& m);

}  // namespace OrvaneBindings::Haptics
