// Placeholder until the handle class lands.
#include "bindings.h"

namespace Orvane::HardwareAPI::Python {
void RegisterHandle(py::module_&) {}
}  // namespace Orvane::HardwareAPI::Python
