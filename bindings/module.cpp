// The module entry point. The body registers everything in a fixed order: the device
// constructors take a SerialStream, and an arm method has a UUID default argument that is
// converted when the method is defined, so the stream classes must come first.
#include <cstdio>

#include "Orvane/HardwareAPI/Version.h"
#include "bindings.h"
#include "main_interpreter.h"

namespace Orvane::HardwareAPI::Python {

void RegisterVersionFunctions(py::module_& m) {
    m.def(
        "get_cpp_version", [] { return std::string(kLibraryVersion); },
        "Get the version of the CPP library");
    // Native standard output, not sys.stdout.
    m.def(
        "print_cpp_version",
        [] {
            std::printf("Library version: %s\n", kLibraryVersion);
            std::fflush(stdout);
        },
        "Print the version of the CPP library");
}

}  // namespace Orvane::HardwareAPI::Python

#define PyInit_OrvaneHardwareAPI OrvanePybindInit_OrvaneHardwareAPI
PYBIND11_MODULE(OrvaneHardwareAPI, m) {
    using namespace Orvane::HardwareAPI::Python;
    m.doc() = "Python Implementation of the Orvane Hardware API";
    RegisterStreamClasses(m);
    RegisterVersionFunctions(m);
    RegisterDetection(m);
    RegisterVarnix3(m);
    RegisterHandle(m);
    m.attr("__version__") = "dev";
}
#undef PyInit_OrvaneHardwareAPI
ORVANE_MAIN_INTERPRETER_ENTRY(OrvaneHardwareAPI)
