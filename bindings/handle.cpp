// The Handle class. Python programs subclass it and define the three callbacks; the native
// forwarding class below calls them from inside Receive with plain Python values.
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "Orvane/HardwareAPI/Handle.h"
#include "Orvane/HardwareAPI/Protocol.h"
#include "Orvane/HardwareAPI/SerialStream.h"
#include "bindings.h"
#include "deprecation.h"
#include "sequence.h"

namespace Orvane::HardwareAPI::Python {
namespace {

using Devices::Handle;
namespace Msg = Protocol::HandleMsg;

using UserDataBytes = std::array<std::uint8_t, Msg::kMaxUserData>;

constexpr const char* kStatusNotDefined =
    "Tried to call pure virtual function \"API::Devices::Handle::OnReceiveHandleStatusMessage\"";

// Native face of a Python subclass: each field-by-field callback is passed on to the
// subclass's method of the same name. Created only for Python subclasses; a plain Handle
// keeps the do-nothing callbacks. Receive runs with the interpreter lock released, so every
// callback takes it back for exactly the time it spends in Python.
class TrampolineHandle final : public Handle {
public:
    using Handle::Handle;

    void OnReceiveHandleInfo(std::uint8_t tool_data_remaining, std::uint16_t device_id,
                             std::uint8_t device_model_number, std::uint8_t hardware_version,
                             std::uint8_t firmware_version) override {
        py::gil_scoped_acquire gil;
        Forward(kInfoSlot, "OnReceiveHandleInfo", py::int_(tool_data_remaining),
                py::int_(device_id), py::int_(device_model_number), py::int_(hardware_version),
                py::int_(firmware_version));
    }

    // Every subclass must define this one: without it the message ends in a RuntimeError.
    void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                      std::uint8_t error_flag,
                                      std::uint8_t hall_effect_sensor_level,
                                      std::uint8_t user_data_length,
                                      const std::uint8_t* user_data) override {
        // Copy out of the caller's record before taking the lock; the pointers need not
        // outlive this call.
        std::array<float, 4> q{};
        std::copy_n(quaternion, q.size(), q.begin());
        UserDataBytes data{};
        std::copy_n(user_data, user_data_length, data.begin());

        py::gil_scoped_acquire gil;
        py::list q_list(q.size());
        for (std::size_t i = 0; i < q.size(); ++i) {
            q_list[i] = py::float_(q[i]);
        }
        py::list data_list(user_data_length);
        for (std::size_t i = 0; i < user_data_length; ++i) {
            data_list[i] = py::int_(data[i]);
        }
        if (!Forward(kStatusSlot, "OnReceiveHandleStatusMessage", py::int_(device_id), q_list,
                     py::int_(error_flag), py::int_(hall_effect_sensor_level),
                     py::int_(user_data_length), data_list)) {
            throw std::runtime_error(kStatusNotDefined);
        }
    }

    void OnReceiveHandleErrorResponse(std::uint16_t device_id, std::uint8_t error_code) override {
        py::gil_scoped_acquire gil;
        Forward(kErrorSlot, "OnReceiveHandleErrorResponse", py::int_(device_id),
                py::int_(error_code));
    }

    enum Slot { kInfoSlot, kStatusSlot, kErrorSlot, kSlotCount };

    // True while the subclass's method for `slot` runs for this object. A call of the base
    // method from inside it (directly or through helpers) then gets the base behaviour
    // instead of the override again. Needs the interpreter lock.
    bool InOverride(Slot slot) const { return running_[slot] > 0; }

private:
    // Calls the subclass's method `name` with `args`, its result dropped; false when the
    // subclass does not define it. Every message Receive reads reaches the override, also
    // one read by a Receive nested in an override or running on another thread; the count
    // only tells the base methods apart. Needs the interpreter lock.
    template <class... Args>
    bool Forward(Slot slot, const char* name, Args&&... args) {
        py::function method = Override(name);
        if (!method) {
            return false;
        }
        struct Running {
            int& depth;
            explicit Running(int& d) : depth(d) { ++depth; }
            ~Running() { --depth; }
        } running(running_[slot]);
        // A Python exception leaves as error_already_set and reaches Receive's caller as
        // the same exception.
        method(std::forward<Args>(args)...);
        return true;
    }

    // The subclass's method `name`, or none when it keeps the base one. Unlike the binding
    // layer's own lookup this does not look at the calling Python frame: a Receive called
    // from inside an override must still reach the override for the message it reads.
    py::function Override(const char* name) const {
        const py::handle self = py::detail::get_object_handle(
            static_cast<const Handle*>(this), py::detail::get_type_info(typeid(Handle)));
        if (!self) {
            return {};
        }
        py::object method = py::getattr(self, name, py::none());
        if (!py::isinstance<py::function>(method) ||
            py::reinterpret_borrow<py::function>(method).is_cpp_function()) {
            return {};
        }
        return py::reinterpret_borrow<py::function>(method);
    }

    std::array<int, kSlotCount> running_{};
};

// True when `handle` is a Python subclass whose override for `slot` is running: the base
// method was called from inside it.
bool CalledFromOverride(const Handle& handle, TrampolineHandle::Slot slot) {
    const auto* forwarding = dynamic_cast<const TrampolineHandle*>(&handle);
    return forwarding != nullptr && forwarding->InOverride(slot);
}

// User data as Python supplies it: one byte value, a bytes-like object, or a sequence of
// byte values. Values outside 0..255 and other types do not convert (TypeError).
using UserData = std::variant<std::uint8_t, py::buffer, Sequence<std::uint8_t>>;

// Copies up to out.size() supplied bytes into `out`; returns how many the caller supplied.
std::size_t CopyUserData(const std::optional<UserData>& user_data, UserDataBytes& out) {
    if (!user_data) {
        return 0;
    }
    if (const auto* byte = std::get_if<std::uint8_t>(&*user_data)) {
        out[0] = *byte;
        return 1;
    }
    if (const auto* values = std::get_if<Sequence<std::uint8_t>>(&*user_data)) {
        std::copy_n(values->begin(), std::min(values->size(), out.size()), out.begin());
        return values->size();
    }
    // The raw bytes of a contiguous buffer, as bytes(obj) would give them.
    const auto& buffer = std::get<py::buffer>(*user_data);
    Py_buffer view;
    if (PyObject_GetBuffer(buffer.ptr(), &view, PyBUF_SIMPLE) != 0) {
        throw py::error_already_set();
    }
    const auto size = static_cast<std::size_t>(view.len);
    std::copy_n(static_cast<const std::uint8_t*>(view.buf), std::min(size, out.size()),
                out.begin());
    PyBuffer_Release(&view);
    return size;
}

}  // namespace

void RegisterHandle(py::module_& m) {
    py::class_<Handle, TrampolineHandle, std::unique_ptr<Handle>>(m, "Handle")
        // The exact type gets a plain Handle, a Python subclass the forwarding class. None
        // is no stream and does not match the signature (TypeError). The handle keeps its
        // SerialStream alive, so the stream cannot be collected under it.
        .def(py::init<IO::SerialStream&>(), py::keep_alive<1, 2>())
        .def("SendDeviceWakeup", &Handle::SendDeviceWakeup,
             py::call_guard<py::gil_scoped_release>())
        // Sends data_length bytes of the supplied user data and never more than was
        // supplied: a data_length beyond it is refused before anything is written.
        .def(
            "SendHandleState",
            [](Handle& handle, std::uint16_t device_id, std::uint8_t data_length,
               const std::optional<UserData>& user_data) {
                UserDataBytes bytes{};
                const std::size_t supplied = CopyUserData(user_data, bytes);
                if (data_length > supplied) {
                    throw py::value_error("data_length " + std::to_string(data_length) +
                                          " is larger than the " + std::to_string(supplied) +
                                          " byte(s) of user_data supplied");
                }
                py::gil_scoped_release release;
                handle.SendHandleState(device_id, data_length, bytes.data());
            },
            "send handle state", py::arg("device_id") = 0, py::arg("data_length") = 0,
            py::arg("user_data") = py::none())
        .def("RequestStatus", &Handle::RequestStatus, "request handle status",
             py::call_guard<py::gil_scoped_release>())
        .def(
            "OnReceiveHandleInfo",
            [](Handle& handle, std::uint8_t tool_data_remaining, std::uint16_t device_id,
               std::uint8_t device_model_number, std::uint8_t hardware_version,
               std::uint8_t firmware_version) {
                if (CalledFromOverride(handle, TrampolineHandle::kInfoSlot)) {
                    return;  // the base callback does nothing
                }
                handle.OnReceiveHandleInfo(tool_data_remaining, device_id, device_model_number,
                                           hardware_version, firmware_version);
            },
            "OnReceiveHandleInfo", py::arg("tool_data_remaining"), py::arg("device_id"),
            py::arg("device_model_number"), py::arg("hardware_version"),
            py::arg("firmware_version"))
        // A Python call supplies one quaternion component and one user-data byte. The rest
        // of the quaternion is filled with zeros, and a user_data_length above the one byte
        // supplied is refused (ValueError), so the callback never reads past the caller's
        // values.
        .def(
            "OnReceiveHandleStatusMessage",
            [](Handle& handle, std::uint16_t device_id, float quaternion, std::uint8_t error_flag,
               std::uint8_t hall_effect_sensor_level, std::uint8_t user_data_length,
               std::uint8_t user_data) {
                if (user_data_length > 1) {
                    throw py::value_error("user_data_length " + std::to_string(user_data_length) +
                                          " is larger than the 1 byte of user_data supplied");
                }
                if (CalledFromOverride(handle, TrampolineHandle::kStatusSlot)) {
                    throw std::runtime_error(kStatusNotDefined);
                }
                const float q[4] = {quaternion, 0.0f, 0.0f, 0.0f};
                const std::uint8_t data[1] = {user_data};
                handle.OnReceiveHandleStatusMessage(
                    device_id, q, error_flag, hall_effect_sensor_level, user_data_length, data);
            },
            "OnReceiveHandleStatusMessage", py::arg("device_id"), py::arg("quaternion"),
            py::arg("error_flag"), py::arg("hall_effect_sensor_level"), py::arg("user_data_length"),
            py::arg("user_data"))
        .def(
            "OnReceiveHandleErrorResponse",
            [](Handle& handle, std::uint16_t device_id, std::uint8_t error_code) {
                if (CalledFromOverride(handle, TrampolineHandle::kErrorSlot)) {
                    return;
                }
                handle.OnReceiveHandleErrorResponse(device_id, error_code);
            },
            "OnReceiveHandleErrorResponse", py::arg("device_id"), py::arg("error_code"))
        .def("Receive", &Handle::Receive, "Receive data from the handle",
             py::call_guard<py::gil_scoped_release>())
        .def(
            "Receive",
            [](Handle& handle, std::uint8_t /*obsolete*/) {
                Deprecation deprecation("Receive with one argument is deprecated");
                int count = 0;
                {
                    py::gil_scoped_release release;
                    count = handle.Receive();
                }
                deprecation.Surface();
                return count;
            },
            "[DEPRECATED] Receive current and return current", py::arg("obsolete"));
}

}  // namespace Orvane::HardwareAPI::Python
