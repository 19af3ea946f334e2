// orvane.haptics' couplings and the loop's workspace map and clutch. The loop methods are added to
// the ServoLoop class registered in servo_loop.cpp, which hands over its native loop through
// LoopOf.
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <string>

#include "Orvane/HardwareAPI/Coupling.h"
#include "Orvane/HardwareAPI/ServoLoop.h"
#include "Orvane/HardwareAPI/Workspace.h"
#include "haptics.h"
#include "initialised.h"
#include "vector3.h"

namespace OrvaneBindings::Haptics {
namespace {

namespace py = pybind11;
using namespace py::literals;
using namespace Orvane::HardwareAPI::Haptics;
using Orvane::HardwareAPI::Error;
using Orvane::HardwareAPI::ErrorKind;
using Orvane::HardwareAPI::Python::ToNumber;
using Orvane::HardwareAPI::Python::ToVector3;
using Orvane::HardwareAPI::Python::Tuple;

CouplingParams Checked(const CouplingParams& p) {
    RaiseIf(CheckCoupling(p));
    return p;
}

// A coupling: its parameters, and once added, the loop it is in.
struct PyCoupling {
    CouplingParams params;
    py::object loop;  // None until added
    CouplingId id = 0;

    bool Bound() const { return id != 0 && !loop.is_none(); }

    void Change(const CouplingParams& p) {
        const CouplingParams checked = Checked(p);
        if (Bound()) {
            RaiseIf(LoopOf(loop).SetCouplingParams(id, checked));
        }
        params = checked;
    }
};

template <typename T>
void Parameter(py::class_<PyCoupling>& c, const char* name, T CouplingParams::*member) {
    c.def_property(
        name, [member](const PyCoupling& self) { return self.params.*member; },
        [member](PyCoupling& self, T value) {
            CouplingParams p = self.params;
            p.*member = value;
            self.Change(p);
        });
}

}  // namespace
}  // namespace OrvaneBindings::Haptics

// Made with Cls.__new__(Cls), these hold nothing: refused like the loop's own classes.
template <>
struct pybind11::detail::type_caster<OrvaneBindings::Haptics::PyCoupling>
    : initialised_caster<OrvaneBindings::Haptics::PyCoupling> {};
template <>
struct pybind11::detail::type_caster<Orvane::HardwareAPI::Haptics::CouplingState>
    : initialised_caster<Orvane::HardwareAPI::Haptics::CouplingState> {};

namespace OrvaneBindings::Haptics {
namespace {

Matrix3 ToRotation(const py::handle& value) {
    const std::string refusal =
        "rotation must be a 3x3 matrix (three rows of three numbers) or a quaternion (w, x, y, "
        "z)";
    if (!py::isinstance<py::sequence>(value) || py::isinstance<py::str>(value)) {
        throw py::type_error(refusal);
    }
    const py::sequence rows = py::reinterpret_borrow<py::sequence>(value);
    Matrix3 r{};
    if (py::len(rows) == 4) {
        std::array<double, 4> q{};
        for (int i = 0; i < 4; ++i) {
            q[i] = ToNumber(rows[i], "a quaternion's part");
        }
        RaiseIf(RotationFromQuaternion(q, r));
        return r;
    }
    if (py::len(rows) != 3) {
        throw py::type_error(refusal);
    }
    for (int i = 0; i < 3; ++i) {
        const Vec3 row = ToVector3(rows[i], "a rotation's row");
        r[3 * i] = row[0], r[3 * i + 1] = row[1], r[3 * i + 2] = row[2];
    }
    return r;
}

py::dict WorkspaceDict(const WorkspaceMap& map) {
    const Matrix3& r = map.rotation;
    return py::dict(
        "scale"_a = map.scale, "offset"_a = Tuple(map.offset),
        "rotation"_a = py::make_tuple(Tuple({r[0], r[1], r[2]}), Tuple({r[3], r[4], r[5]}),
                                      Tuple({r[6], r[7], r[8]})));
}

void RegisterCoupling(py::module_& m) {
    py::class_<CouplingState> state(m, "CouplingState", "What a coupling did in its last cycle.");
    state.def_property_readonly(
        "target", [](const CouplingState& s) { return Tuple(s.target); },
        "Where the loop rendered the target.");
    state.def_property_readonly(
        "offset", [](const CouplingState& s) { return Tuple(s.offset); },
        "From the arm to that target, in scene coordinates.");
    state.def_property_readonly(
        "force", [](const CouplingState& s) { return Tuple(s.force); },
        "The force the arm felt from the coupling, in scene coordinates: its part of what went "
        "out, after the loop's clamp and the workspace map; apply the opposite to the proxy.");
    state.def_readonly("observed_energy_j", &CouplingState::observed_energy_j);
    state.def_readonly("passivity_cycles", &CouplingState::passivity_cycles);
    state.def_readonly("dissipated_j", &CouplingState::dissipated_j);
    state.def("__repr__", [](const CouplingState& s) {
        return "CouplingState(target=" + std::string(py::repr(Tuple(s.target))) +
               ", force=" + std::string(py::repr(Tuple(s.force))) + ")";
    });

    py::class_<PyCoupling> c(
        m, "Coupling",
        "A spring-damper between the arm and a target that the program moves at its own pace "
        "with update(); the loop renders the target smoothly between updates. Add it to a "
        "loop with loop.add(coupling).");
    c.def(py::init([](const py::object& target, double stiffness, double damping,
                      const py::object& max_force, bool passivity, double passivity_max_damping) {
              CouplingParams p;
              p.target = ToVector3(target, "target");
              p.stiffness = stiffness;
              p.damping = damping;
              p.max_force = max_force.is_none() ? 0.0 : ToNumber(max_force, "max_force");
              p.passivity = passivity;
              p.passivity_max_damping = passivity_max_damping;
              if (!max_force.is_none() && !(p.max_force > 0.0)) {
                  throw py::value_error("coupling: max_force must be above 0, or None");
              }
              return PyCoupling{Checked(p), py::none(), 0};
          }),
          "target"_a = py::make_tuple(0.0, 0.0, 0.0), "stiffness"_a = 0.0, "damping"_a = 0.0,
          "max_force"_a = py::none(), "passivity"_a = false, "passivity_max_damping"_a = 20.0);
    Parameter(c, "stiffness", &CouplingParams::stiffness);
    Parameter(c, "damping", &CouplingParams::damping);
    Parameter(c, "passivity", &CouplingParams::passivity);
    Parameter(c, "passivity_max_damping", &CouplingParams::passivity_max_damping);
    c.def_property(
        "max_force",
        [](const PyCoupling& self) -> py::object {
            return self.params.max_force > 0.0 ? py::cast(self.params.max_force) : py::none();
        },
        [](PyCoupling& self, const py::object& value) {
            CouplingParams p = self.params;
            p.max_force = value.is_none() ? 0.0 : ToNumber(value, "max_force");
            if (!value.is_none() && !(p.max_force > 0.0)) {
                throw py::value_error("coupling: max_force must be above 0, or None");
            }
            self.Change(p);
        });
    c.def(
        "update",
        [](PyCoupling& self, const py::object& target, const py::object& velocity,
           const py::object& stamp_ns, const py::object& stiffness, const py::object& damping) {
            CouplingTarget t;
            t.position = ToVector3(target, "target");
            t.velocity = ToVector3(velocity, "velocity");
            if (stamp_ns.is_none()) {
                t.stamp_ns = Orvane::HardwareAPI::Haptics::MonotonicNs();
            } else if (!py::isinstance<py::int_>(stamp_ns)) {
                throw py::type_error("stamp_ns must be an int (time.monotonic_ns()) or None");
            } else {
                try {
                    t.stamp_ns = stamp_ns.cast<std::int64_t>();
                } catch (const py::cast_error&) {
                    throw py::value_error(
                        "stamp_ns must be a whole number of nanoseconds (time.monotonic_ns())");
                }
            }
            CouplingParams p = self.params;
            if (!stiffness.is_none()) {
                p.stiffness = ToNumber(stiffness, "stiffness");
            }
            if (!damping.is_none()) {
                p.damping = ToNumber(damping, "damping");
            }
            // Checked whole before anything changes, here and again in the loop.
            RaiseIf(CheckCoupling(p));
            RaiseIf(CheckTarget(t));
            const bool params_change = !stiffness.is_none() || !damping.is_none();
            if (self.Bound()) {
                RaiseIf(params_change ? LoopOf(self.loop).ChangeCoupling(self.id, p, t)
                                      : LoopOf(self.loop).MoveCouplingTarget(self.id, t));
                self.params.stiffness = p.stiffness;
                self.params.damping = p.damping;
            } else {
                p.target = t.position;
                self.params = p;
            }
        },
        "target"_a, "velocity"_a = py::make_tuple(0.0, 0.0, 0.0), "stamp_ns"_a = py::none(),
        py::kw_only(), "stiffness"_a = py::none(), "damping"_a = py::none(),
        "Moves the target (m) going at velocity (m/s), as of stamp_ns on the monotonic clock "
        "(time.monotonic_ns(); now when None). With stiffness (N/m) or damping (N s/m), changes "
        "them in the same cycle; a refused value changes nothing. Any thread, any rate.");
    c.def(
        "state",
        [](const PyCoupling& self) {
            CouplingState s;
            s.target = self.params.target;
            if (self.Bound()) {
                // A coupling its loop no longer has reports where it was last put.
                static_cast<void>(LoopOfAny(self.loop).CouplingStateOf(self.id, s));
            }
            return s;
        },
        "The coupling's last cycle: rendered target, offset, force, passivity counts.");
    c.def_property_readonly(
        "active",
        [](const PyCoupling& self) {
            CouplingState ignored;
            return self.Bound() && !LoopOfAny(self.loop).CouplingStateOf(self.id, ignored);
        },
        "Whether a loop renders the coupling.");
    c.def_property_readonly("target", [](const PyCoupling& self) {
        CouplingState s;
        s.target = self.params.target;
        if (self.Bound()) {
            static_cast<void>(LoopOfAny(self.loop).CouplingStateOf(self.id, s));
        }
        return Tuple(s.target);
    });
    c.def(
        "remove",
        [](PyCoupling& self) {
            const bool removed = self.Bound() && !LoopOfAny(self.loop).RemoveCoupling(self.id);
            self.loop = py::none();
            self.id = 0;
            return removed;
        },
        "Takes the coupling out of its loop; it can be added again.");
    c.def("_attach_to", [](py::object self_object, py::object loop) {
        PyCoupling& self = self_object.cast<PyCoupling&>();
        if (self.Bound()) {
            throw py::value_error("the coupling is already in a loop");
        }
        CouplingId id = 0;
        RaiseIf(LoopOf(loop).AddCoupling(self.params, id));
        self.loop = std::move(loop);
        self.id = id;
        return self_object;
    });
    c.def("__repr__", [](const PyCoupling& self) {
        char text[160];
        std::snprintf(text, sizeof text, "Coupling(target=(%g, %g, %g), stiffness=%g, damping=%g)",
                      self.params.target[0], self.params.target[1], self.params.target[2],
                      self.params.stiffness, self.params.damping);
        return std::string(text);
    });
}

}  // namespace

void RegisterTouch(py::module_& m) {
    RegisterCoupling(m);
    RegisterScene(m);
    py::object cls = m.attr("ServoLoop");

    auto workspace = [](py::object self, const py::object& scale, const py::object& offset,
                        const py::object& rotation) {
        ServoLoop& loop = scale.is_none() && offset.is_none() && rotation.is_none()
                              ? LoopOfAny(self)
                              : LoopOf(self);
        WorkspaceMap map = loop.Workspace();
        if (!scale.is_none()) {
            map.scale = ToNumber(scale, "scale");
        }
        if (!offset.is_none()) {
            map.offset = ToVector3(offset, "offset");
        }
        if (!rotation.is_none()) {
            map.rotation = ToRotation(rotation);
        }
        if (!(scale.is_none() && offset.is_none() && rotation.is_none())) {
            RaiseIf(loop.SetWorkspace(map));
        }
        return WorkspaceDict(loop.Workspace());
    };
    cls.attr("workspace") = py::cpp_function(
        workspace, py::name("workspace"), py::is_method(cls), "scale"_a = py::none(),
        "offset"_a = py::none(), "rotation"_a = py::none(),
        "Maps the arm's coordinates to the scene's for couplings, fixtures and scenes: "
        "scene = scale R device + offset (rotation: a 3x3 matrix or a quaternion w, x, y, z); "
        "forces come back as scale Rᵀ F. Parameters left None stay as they are. Returns the "
        "map in force (re-based by each release of the clutch).");

    auto clutch = [](py::object self, bool engaged) { RaiseIf(LoopOf(self).Clutch(engaged)); };
    cls.attr("clutch") = py::cpp_function(
        clutch, py::name("clutch"), py::is_method(cls), "engaged"_a,
        "clutch(True) lets the arm move freely while the scene side holds still; clutch(False) "
        "goes on from where the scene is, without a jump, the forces eased back in.");
    py::module_::import("builtins")
        .attr("setattr")(
            cls, "clutched",
            py::module_::import("builtins").attr("property")(py::cpp_function([](py::object self) {
                return LoopOfAny(self).Clutched();
            })));
}

}  // namespace OrvaneBindings::Haptics
