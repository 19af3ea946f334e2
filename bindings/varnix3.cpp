// The arm class. Two generations of methods live side by side: the combined lower-case
// methods send a request and return the arm's reply in one call, the older methods in the
// arm's message vocabulary send or receive one message each (most of them deprecated).
//
// Every method converts and checks its arguments first, then (deprecated ones) warns with
// the interpreter lock held, then releases the lock for exactly the device I/O and takes
// it back before building its result.
#include <pybind11/stl.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Orvane/HardwareAPI/DeviceInfo.h"
#include "Orvane/HardwareAPI/SerialStream.h"
#include "Orvane/HardwareAPI/UUID.h"
#include "Orvane/HardwareAPI/Varnix3.h"
#include "bindings.h"
#include "deprecation.h"
#include "device_info.h"
#include "sequence.h"

namespace Orvane::HardwareAPI::Python {
namespace {

using Devices::Varnix3;
using Vector = Sequence<float>;

// The default of every list argument.
Vector Zero3() {
    return Vector{0.0F, 0.0F, 0.0F};
}

// Every request carries three values and every reply fills three; a shorter list would
// make the arm read or write past its end, so it is refused before anything is sent.
void RequireThree(const Vector& values, const char* name) {
    if (values.size() < 3) {
        throw py::value_error(std::string(name) + " must have at least 3 elements");
    }
}

py::list Floats(const float* values, std::size_t n) {
    py::list out(n);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = py::float_(values[i]);
    }
    return out;
}

using SendOp = void (Varnix3::*)(const float*);
using ReceiveOp = std::int32_t (Varnix3::*)(float*, float*);

// One request with elements 0-2 of the list, then the matching state reply into zeros.
template <SendOp Send, ReceiveOp Receive>
py::tuple Exchange(Varnix3& arm, const Vector& request, const char* name) {
    RequireThree(request, name);
    float first[3] = {0.0F, 0.0F, 0.0F};
    float second[3] = {0.0F, 0.0F, 0.0F};
    {
        py::gil_scoped_release release;
        (arm.*Send)(request.data());
        (arm.*Receive)(first, second);
    }
    return py::make_tuple(Floats(first, 3), Floats(second, 3));
}

template <SendOp Send>
void SendOnly(Varnix3& arm, const Vector& values, const char* name, const char* warning) {
    RequireThree(values, name);
    std::optional<Deprecation> deprecation;
    if (warning != nullptr) {
        deprecation.emplace(warning);
    }
    {
        py::gil_scoped_release release;
        (arm.*Send)(values.data());
    }
    if (deprecation) {
        deprecation->Surface();
    }
}

// Wake-up and device information in one exchange.

DeviceInfo WakeUp(Varnix3& arm) {
    DeviceInfo info;
    py::gil_scoped_release release;
    arm.SendDeviceWakeup();
    arm.ReceiveDeviceInfo(info.device_id, info.model_number, info.hardware_version,
                          info.firmware_version, info.uuid);
    return info;
}

py::list IdentifierBytes(const UUID& uuid) {
    py::list out(uuid.bytes.size());
    for (std::size_t i = 0; i < uuid.bytes.size(); ++i) {
        out[i] = py::int_(uuid.bytes[i]);
    }
    return out;
}

}  // namespace

void RegisterVarnix3(py::module_& m) {
    py::class_<Varnix3, std::unique_ptr<Varnix3>> arm(m, "Varnix3");

    // The device refers to the stream inside the SerialStream object, so that object is
    // kept alive for as long as the device lives. None does not bind to the reference and
    // is refused with TypeError.
    arm.def(py::init([](IO::SerialStream& stream) { return std::make_unique<Varnix3>(stream); }),
            py::keep_alive<1, 2>());

    arm.def(
        "device_wakeup",
        [](Varnix3& self) {
            const DeviceInfo info = WakeUp(self);
            return py::make_tuple(info.device_id, info.model_number, info.hardware_version,
                                  info.firmware_version, IdentifierBytes(info.uuid));
        },
        "Wakeup the device and return the device info as a tuple.");

    arm.def(
        "device_wakeup_dict", [](Varnix3& self) { return DeviceInfoDict(WakeUp(self)); },
        "Wakeup the device and return the device info as a dict.");

    arm.def(
        "end_effector_force",
        [](Varnix3& self, const Vector& force) {
            return Exchange<&Varnix3::SendForce, &Varnix3::ReceiveState>(self, force,
                                                                         "force request vector");
        },
        "Send forces to the device and receive device states",
        py::arg("force request vector") = Zero3());

    arm.def(
        "joint_torques",
        [](Varnix3& self, const Vector& torques) {
            return Exchange<&Varnix3::SendJointTorques, &Varnix3::ReceiveJointState>(
                self, torques, "joint torque request vector");
        },
        "Send joint torques to the device and receive the joint states",
        py::arg("joint torque request vector") = Zero3());

    arm.def(
        "end_effector_position",
        [](Varnix3& self, const Vector& position) {
            return Exchange<&Varnix3::SendPosition, &Varnix3::ReceiveState>(
                self, position, "position request vector");
        },
        "Send end-effector position and receive device states",
        py::arg("position request vector") = Zero3());

    arm.def(
        "joint_angles",
        [](Varnix3& self, const Vector& angles) {
            return Exchange<&Varnix3::SendAngle, &Varnix3::ReceiveJointState>(
                self, angles, "joint angle request vector");
        },
        "Send joint angles to the device and receive the joint states",
        py::arg("joint angle request vector") = Zero3());

    arm.def(
        "SendDeviceWakeup",
        [](Varnix3& self) {
            Deprecation deprecation("SendDeviceWakeup is deprecated, use device_wakeup instead");
            {
                py::gil_scoped_release release;
                self.SendDeviceWakeup();
            }
            deprecation.Surface();
        },
        "[DEPRECATED] Send a device wakeup command");

    // The arguments are copies: the caller's UUID object is never modified, and a missing
    // or wrong reply hands the arguments back as passed.
    arm.def(
        "ReceiveDeviceInfo",
        [](Varnix3& self, std::uint16_t device_id, std::uint8_t device_model_num,
           std::uint8_t hardware_version, std::uint8_t firmware_version, UUID uuid) {
            {
                py::gil_scoped_release release;
                self.ReceiveDeviceInfo(device_id, device_model_num, hardware_version,
                                       firmware_version, uuid);
            }
            return py::make_tuple(device_id, device_model_num, hardware_version, firmware_version,
                                  std::move(uuid));
        },
        "Receive device info and return a tuple", py::arg("device_id") = 0,
        py::arg("device_model_num") = 0, py::arg("hardware_version") = 0,
        py::arg("firmware_version") = 0, py::arg("UUID") = UUID{});

    arm.def(
        "SendForce",
        [](Varnix3& self, const Vector& force) {
            SendOnly<&Varnix3::SendForce>(
                self, force, "force", "SendForce is deprecated, use end_effector_force instead");
        },
        "[Deprecated] Send force to the device", py::arg("force") = Zero3());

    arm.def(
        "SendForce",
        [](Varnix3& self, float x, float y, float z) {
            Deprecation deprecation("SendForce is deprecated, use end_effector_force instead");
            const float force[3] = {x, y, z};
            {
                py::gil_scoped_release release;
                self.SendForce(force);
            }
            deprecation.Surface();
        },
        "[Deprecated] Send force to the device", py::arg("ForceX") = 0, py::arg("ForceY") = 0,
        py::arg("ForceZ") = 0);

    arm.def(
        "ReceiveState",
        [](Varnix3& self, Vector position, Vector velocity) {
            RequireThree(position, "position");
            RequireThree(velocity, "velocity");
            Deprecation deprecation("ReceiveState is deprecated, use end_effector instead");
            {
                py::gil_scoped_release release;
                self.ReceiveState(position.data(), velocity.data());
            }
            deprecation.Surface();
            return py::make_tuple(position, velocity);
        },
        "[Deprecated] receive state and return position and velocity",
        py::arg("position") = Zero3(), py::arg("velocity") = Zero3());

    arm.def(
        "ReceiveJointState",
        [](Varnix3& self, Vector joint_position, Vector joint_velocity) {
            RequireThree(joint_position, "joint_position");
            RequireThree(joint_velocity, "joint_velocity");
            Deprecation deprecation("ReceiveJointState is deprecated, use joint_torques instead");
            {
                py::gil_scoped_release release;
                self.ReceiveJointState(joint_position.data(), joint_velocity.data());
            }
            deprecation.Surface();
            return py::make_tuple(joint_position, joint_velocity);
        },
        "[Deprecated] receive joint state and return position and velocity in the joint "
        "reference frame",
        py::arg("joint_position") = Zero3(), py::arg("joint_velocity") = Zero3());

    arm.def(
        "SendJointTorques",
        [](Varnix3& self, const Vector& joint_torque) {
            SendOnly<&Varnix3::SendJointTorques>(
                self, joint_torque, "joint_torque",
                "SendJointTorques is deprecated, use joint_torques instead");
        },
        "[Deprecated] send joint torque", py::arg("joint_torque") = Zero3());

    arm.def(
        "SendAngle",
        [](Varnix3& self, const Vector& angle) {
            SendOnly<&Varnix3::SendAngle>(self, angle, "angle", nullptr);
        },
        "Send angles to the device", py::arg("angle") = Zero3());

    arm.def(
        "RequestCurrent",
        [](Varnix3& self) {
            py::gil_scoped_release release;
            self.RequestCurrent();
        },
        "request current");

    arm.def(
        "ReceiveCurrent",
        [](Varnix3& self, Vector current) {
            RequireThree(current, "current");
            {
                py::gil_scoped_release release;
                self.ReceiveCurrent(current.data());
            }
            return current;
        },
        "receive current and return current", py::arg("current") = Zero3());

    arm.def(
        "SendPosition",
        [](Varnix3& self, const Vector& position) {
            SendOnly<&Varnix3::SendPosition>(
                self, position, "position",
                "SendPosition is deprecated, use end_effector_position instead");
        },
        "[Deprecated] Send Position to the device", py::arg("position") = Zero3());
}

}  // namespace Orvane::HardwareAPI::Python
