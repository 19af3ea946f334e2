// The native side of orvane.haptics.MujocoScene: its snapshots, its handle in a loop, and
// ServoLoop._add_scene, which opens the scene on copies of the program's model and data.
#include <pybind11/stl.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Orvane/HardwareAPI/MujocoScene.h"
#include "Orvane/HardwareAPI/ServoLoop.h"
#include "haptics.h"
#include "initialised.h"
#include "vector3.h"

namespace OrvaneBindings::Haptics {
namespace {

namespace py = pybind11;
using namespace Orvane::HardwareAPI::Haptics;

// The native part of orvane.haptics.MujocoScene, made by ServoLoop._add_scene.
struct SceneHandle {
    std::shared_ptr<MujocoScene> scene;
    py::object loop;
    py::object keep;  // the Python MujocoScene

    MujocoScene& Scene() const { return *scene; }
};

}  // namespace
}  // namespace OrvaneBindings::Haptics

// Made with Cls.__new__(Cls), these hold nothing: refused like the loop's own classes.
template <>
struct pybind11::detail::type_caster<OrvaneBindings::Haptics::SceneHandle>
    : initialised_caster<OrvaneBindings::Haptics::SceneHandle> {};
template <>
struct pybind11::detail::type_caster<Orvane::HardwareAPI::Haptics::SceneSnapshot>
    : initialised_caster<Orvane::HardwareAPI::Haptics::SceneSnapshot> {};

namespace OrvaneBindings::Haptics {

namespace py = pybind11;
using namespace py::literals;
using namespace Orvane::HardwareAPI::Haptics;
using Orvane::HardwareAPI::Error;
using Orvane::HardwareAPI::ErrorKind;
using Orvane::HardwareAPI::Python::Tuple;

void RegisterScene(py::module_& m) {
    py::class_<SceneSnapshot> snapshot(m, "SceneSnapshot",
                                       "A MuJoCo scene as it was after one whole cycle.");
    snapshot.def_readonly("time", &SceneSnapshot::time, "The model's time, s.");
    snapshot.def_readonly("cycle", &SceneSnapshot::cycle);
    snapshot.def_readonly("qpos", &SceneSnapshot::qpos);
    snapshot.def_readonly("qvel", &SceneSnapshot::qvel);
    snapshot.def_readonly("contacts", &SceneSnapshot::contacts);
    snapshot.def_readonly("touching", &SceneSnapshot::touching,
                          "The ids of the bodies the tool is in contact with.");
    snapshot.def_property_readonly("tool", [](const SceneSnapshot& s) { return Tuple(s.tool); });
    snapshot.def_property_readonly(
        "force", [](const SceneSnapshot& s) { return Tuple(s.force); },
        "The force on the arm, in scene coordinates.");
    snapshot.def("__repr__", [](const SceneSnapshot& s) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "SceneSnapshot(time=%.4f, contacts=%d, tool=(%g, %g, %g), force=(%g, %g, "
                      "%g))",
                      s.time, s.contacts, s.tool[0], s.tool[1], s.tool[2], s.force[0], s.force[1],
                      s.force[2]);
        return std::string(text);
    });

    py::class_<SceneHandle> handle(m, "_SceneHandle");
    handle.def("snapshot", [](const SceneHandle& h) {
        SceneSnapshot s;
        {
            py::gil_scoped_release unlocked;
            h.Scene().Snapshot(s);
        }
        return s;
    });
    handle.def("stats", [](const SceneHandle& h) {
        const SceneStats s = h.Scene().Stats();
        const Error fault = h.Scene().Fault();
        return py::dict("cycles"_a = s.cycles, "overruns"_a = s.overruns, "unstable"_a = s.unstable,
                        "step_us"_a = PercentileDict(s.step_us),
                        "fault"_a = fault ? py::object(py::str(fault.message)) : py::none(),
                        "mujoco"_a = h.Scene().Release());
    });
    handle.def("set_state",
               [](const SceneHandle& h, const std::vector<double>& qpos,
                  const std::vector<double>& qvel) { RaiseIf(h.Scene().SetState(qpos, qvel)); });
    handle.def("reset", [](const SceneHandle& h) { h.Scene().Reset(); });
    handle.def_property_readonly("current", [](const SceneHandle& h) {
        return !h.loop.is_none() && LoopOfAny(h.loop).Scene() == h.scene;
    });
    handle.def("remove", [](SceneHandle& h) {
        if (h.loop.is_none()) {
            return false;
        }
        ServoLoop& loop = LoopOfAny(h.loop);
        const bool current = loop.Scene() == h.scene;
        if (current) {
            loop.SetScene(nullptr);
        }
        h.loop = py::none();
        return current;
    });

    py::object cls = m.attr("ServoLoop");
    auto add_scene = [](py::object self, const std::string& library, std::uintptr_t model,
                        std::uintptr_t data, const std::string& body, double stiffness,
                        double damping, int substeps, double max_force, double step_budget,
                        int overrun_limit, py::object keep) {
        ServoLoop& loop = LoopOf(self);
        if (!(loop.Config().rate_hz > 0.0)) {
            throw py::value_error("a scene needs a loop with a fixed rate_hz (not 0)");
        }
        if (loop.Scene()) {
            throw py::value_error("the loop already renders a scene; remove it first");
        }
        MujocoSceneParams p;
        p.library = library;
        p.model = reinterpret_cast<void*>(model);
        p.data = reinterpret_cast<void*>(data);
        p.body = body;
        p.stiffness = stiffness;
        p.damping = damping;
        p.substeps = substeps;
        p.max_force = max_force;
        p.step_budget_s = step_budget;
        p.overrun_limit = overrun_limit;
        std::shared_ptr<MujocoScene> scene;
        const Error error = MujocoScene::Open(p, 1.0 / loop.Config().rate_hz, scene);
        if (error.kind == ErrorKind::Unsupported) {
            // The MuJoCo installed is not one this build can step: nothing about the loop.
            throw py::import_error(error.message);
        }
        RaiseIf(error);
        RaiseIf(loop.SetScene(scene));
        return SceneHandle{std::move(scene), std::move(self), std::move(keep)};
    };
    cls.attr("_add_scene") =
        py::cpp_function(add_scene, py::name("_add_scene"), py::is_method(cls),
                         py::sibling(py::getattr(cls, "_add_scene", py::none())));
}

}  // namespace OrvaneBindings::Haptics
