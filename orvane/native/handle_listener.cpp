#include "haptics.h"

namespace OrvaneBindings::Haptics {

void RegisterHandleListener(pybind11::module_& m) {}

}  // namespace OrvaneBindings::Haptics
