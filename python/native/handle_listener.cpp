#include <pybind11/stl.h>

#include "Orvane/HardwareAPI/HandleListener.h"
#include "haptics.h"
#include "initialised.h"

namespace py = pybind11;
using namespace pybind11::literals;
namespace H = Orvane::HardwareAPI::Haptics;

namespace OrvaneBindings {
namespace Haptics {
class PyHandleListener;
}  // namespace Haptics
}  // namespace OrvaneBindings

// Both classes refuse instances whose __init__ never ran.
template <>
struct pybind11::detail::type_caster<H::HandleSnapshot> : initialised_caster<H::HandleSnapshot> {};
template <>
struct pybind11::detail::type_caster<OrvaneBindings::Haptics::PyHandleListener>
    : initialised_caster<OrvaneBindings::Haptics::PyHandleListener> {};

namespace OrvaneBindings::Haptics {

// The native listener of the Python object.
class PyHandleListener {
public:
    PyHandleListener(const std::string& port, double request_hz) {
        H::HandleListenerConfig config;
        config.request_hz = request_hz;
        {
            py::gil_scoped_release release;
            listener_ = std::make_unique<H::HandleListener>(port, config);
        }
        RaiseIf(listener_->Fault());
    }
    PyHandleListener(const PyHandleListener&) = delete;
    PyHandleListener& operator=(const PyHandleListener&) = delete;

    // Collection of a running listener ends its thread; other Python threads go on meanwhile.
    ~PyHandleListener() {
        py::gil_scoped_release release;
        listener_.reset();
    }

    void Start() { RaiseIf(listener_->Start()); }

    void Stop() {
        py::gil_scoped_release release;  // the thread may be ending a read
        listener_->Stop();
    }

    H::HandleListener& Native() { return *listener_; }

private:
    std::unique_ptr<H::HandleListener> listener_;
};

namespace {

py::object InfoDict(const H::HandleListener& listener) {
    const auto info = listener.DeviceInfo();
    if (!info) {
        return py::none();
    }
    return py::dict("device_id"_a = info->device_id,
                    "device_model_number"_a = info->device_model_number,
                    "hardware_version"_a = info->hardware_version,
                    "firmware_version"_a = info->firmware_version,
                    "tool_data_remaining"_a = info->tool_data_remaining);
}

py::dict StatsDict(const H::HandleListener& listener) {
    const H::HandleListenerStats s = listener.Stats();
    return py::dict("messages"_a = s.messages, "rate_hz"_a = s.rate_hz, "errors"_a = s.errors,
                    "last_error_code"_a = s.last_error_code, "requests"_a = s.requests,
                    "unknown_bytes"_a = s.unknown_bytes);
}

}  // namespace

void RegisterHandleListener(py::module_& m) {
    py::class_<H::HandleSnapshot>(m, "HandleSnapshot",
                                  "The newest status message of a handle, as HandleListener "
                                  "received it; sequence 0 before any.")
        .def_readonly("time", &H::HandleSnapshot::time,
                      "Seconds on the monotonic clock since the listener started.")
        .def_readonly("sequence", &H::HandleSnapshot::sequence,
                      "Status messages received up to this one.")
        .def_readonly("device_id", &H::HandleSnapshot::device_id)
        .def_property_readonly(
            "quaternion",
            [](const H::HandleSnapshot& s) {
                return py::make_tuple(s.quaternion[0], s.quaternion[1], s.quaternion[2],
                                      s.quaternion[3]);
            },
            "Orientation (w, x, y, z).")
        .def_readonly("hall_effect", &H::HandleSnapshot::hall_effect)
        .def_readonly("error_flag", &H::HandleSnapshot::error_flag)
        .def_property_readonly("user_data",
                               [](const H::HandleSnapshot& s) {
                                   return py::bytes(
                                       reinterpret_cast<const char*>(s.user_data.data()),
                                       s.user_data_length);
                               })
        .def("__repr__", [](const H::HandleSnapshot& s) {
            return py::str(
                       "HandleSnapshot(time={:.6f}, sequence={}, quaternion={}, "
                       "hall_effect={}, error_flag={})")
                .format(s.time, s.sequence,
                        py::make_tuple(s.quaternion[0], s.quaternion[1], s.quaternion[2],
                                       s.quaternion[3]),
                        s.hall_effect, s.error_flag);
        });

    py::class_<PyHandleListener>(
        m, "HandleListener",
        "Receives a handle's status messages on a native thread and keeps the newest.\n\n"
        "request_hz > 0: a wired handle, asked for its status that often; request_hz=0: a\n"
        "wireless handle that streams status messages unprompted. The constructor opens the\n"
        "port (LoopFault when it cannot); start() or entering `with` wakes the handle and\n"
        "starts the thread. A silent or unplugged handle ends the thread with `fault` set;\n"
        "start() then raises LoopFault.")
        .def(py::init([](const std::string& port, double request_hz) {
                 return std::make_unique<PyHandleListener>(port, request_hz);
             }),
             "port"_a, "request_hz"_a = 100.0)
        .def("start", &PyHandleListener::Start, "Starts the thread; a no-op while it runs.")
        .def("stop", &PyHandleListener::Stop,
             "Ends the thread and closes the port (within about a second).")
        .def("__enter__",
             [](py::object self) {
                 self.cast<PyHandleListener&>().Start();
                 return self;
             })
        .def("__exit__", [](PyHandleListener& l, py::args) { l.Stop(); })
        .def_property_readonly("running", [](PyHandleListener& l) { return l.Native().Running(); })
        .def_property_readonly(
            "fault",
            [](PyHandleListener& l) -> py::object {
                const Orvane::HardwareAPI::Error f = l.Native().Fault();
                return f ? py::object(py::str(f.message)) : py::object(py::none());
            },
            "None, or why the thread ended on its own.")
        .def_property_readonly(
            "device_info", [](PyHandleListener& l) { return InfoDict(l.Native()); },
            "The handle's information (a dict), or None until its message came.")
        .def(
            "snapshot", [](PyHandleListener& l) { return l.Native().Snapshot(); },
            "The newest status, at once.")
        .def(
            "stats", [](PyHandleListener& l) { return StatsDict(l.Native()); },
            "Counters: messages, rate_hz, errors, last_error_code, requests, unknown_bytes.");
}

}  // namespace OrvaneBindings::Haptics
