// Registration functions of the module body, one per class group, called in module order.
#pragma once

#include <pybind11/pybind11.h>

#include "module_classes.h"

namespace Orvane::HardwareAPI::Python {

namespace py = pybind11;

void RegisterStreamClasses(py::module_& m);  // SerialStream, UUID, Device
void RegisterVersionFunctions(py::module_& m);
void RegisterDetection(py::module_& m);
void RegisterVarnix3(py::module_& m);
void RegisterHandle(py::module_& m);

}  // namespace Orvane::HardwareAPI::Python
