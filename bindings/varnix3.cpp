// Placeholder until the arm class lands.
#include "bindings.h"

namespace Orvane::HardwareAPI::Python {
void RegisterVarnix3(py::module_&) {}
}  // namespace Orvane::HardwareAPI::Python
