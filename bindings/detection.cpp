// Placeholder until detection lands.
#include "bindings.h"

namespace Orvane::HardwareAPI::Python {
void RegisterDetection(py::module_&) {}
}  // namespace Orvane::HardwareAPI::Python
