// The four detect functions. They keep the interpreter lock for the whole detection: the
// probes run on worker tasks that never call into the interpreter, and the calling thread
// only waits for them.
#include <pybind11/stl.h>

#include "Orvane/HardwareAPI/Detection.h"
#include "bindings.h"

namespace Orvane::HardwareAPI::Python {

void RegisterDetection(py::module_& m) {
    m.def(
        "detect_varnix3s", [] { return detect_varnix3s(); }, "detect available varnix3 devices");
    m.def(
        "detect_handles", [] { return detect_handles(); }, "detect available handles");
    m.def(
        "detect_wired_handles", [] { return detect_wired_handles(); },
        "detect available wired handles");
    m.def(
        "detect_wireless_handles", [] { return detect_wireless_handles(); },
        "detect available wireless handles");
}

}  // namespace Orvane::HardwareAPI::Python
