// SerialStream, UUID and Device: the classes the device constructors build on.
#include <pybind11/stl.h>

#include <memory>
#include <string>

#include "Orvane/HardwareAPI/Device.h"
#include "Orvane/HardwareAPI/SerialStream.h"
#include "Orvane/HardwareAPI/UUID.h"
#include "bindings.h"

namespace Orvane::HardwareAPI::Python {

void RegisterStreamClasses(py::module_& m) {
    // str, bytes and bytearray names; None does not convert to std::string and so is
    // refused with TypeError before any native call.
    py::class_<IO::SerialStream, std::unique_ptr<IO::SerialStream>>(m, "SerialStream")
        .def(py::init([](const std::string& port) {
            if (port.find('\0') != std::string::npos) {
                throw py::value_error("port name must not contain a NUL character");
            }
            py::gil_scoped_release release;
            return std::make_unique<IO::SerialStream>(port.c_str(), true);
        }));

    py::class_<UUID, std::unique_ptr<UUID>>(m, "UUID")
        .def(py::init<>())
        .def("bytes", [](const UUID& uuid) {
            py::typing::List<int> out(uuid.bytes.size());
            for (std::size_t i = 0; i < uuid.bytes.size(); ++i) {
                out[i] = py::int_(uuid.bytes[i]);
            }
            return out;
        });

    py::class_<Devices::Device, std::unique_ptr<Devices::Device>>(m, "Device");
}

}  // namespace Orvane::HardwareAPI::Python
