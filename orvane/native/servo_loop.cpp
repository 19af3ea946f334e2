#include "haptics.h"

namespace OrvaneBindings::Haptics {

void RegisterServoLoop(pybind11::module_& m) {}

}  // namespace OrvaneBindings::Haptics
