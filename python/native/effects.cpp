// orvane.haptics' effects: the Python classes of the loop's effects, and the conversion of
// an effect between Python and the library.
#include <pybind11/stl.h>

#include <cstdio>
#include <string>
#include <variant>

#include "Orvane/HardwareAPI/Effects.h"
#include "effect_casters.h"
#include "haptics.h"
#include "vector3.h"

namespace OrvaneBindings::Haptics {

namespace py = pybind11;
using namespace py::literals;
using namespace Orvane::HardwareAPI::Haptics;
using Orvane::HardwareAPI::Python::ToVector3;
using Orvane::HardwareAPI::Python::Tuple;

Effect ToEffect(const py::handle& value) {
    if (py::isinstance<ConstantForce>(value)) {
        return value.cast<ConstantForce>();
    }
    if (py::isinstance<Spring>(value)) {
        return value.cast<Spring>();
    }
    if (py::isinstance<Damper>(value)) {
        return value.cast<Damper>();
    }
    if (py::isinstance<Wall>(value)) {
        return value.cast<Wall>();
    }
    if (py::isinstance<PlaneGuide>(value)) {
        return value.cast<PlaneGuide>();
    }
    if (py::isinstance<LineGuide>(value)) {
        return value.cast<LineGuide>();
    }
    if (py::isinstance<Sphere>(value)) {
        return value.cast<Sphere>();
    }
    if (py::isinstance<Box>(value)) {
        return value.cast<Box>();
    }
    throw py::type_error(
        "an effect is a ConstantForce, Spring, Damper, Wall, PlaneGuide, "
        "LineGuide, Sphere or Box, not " +
        std::string(py::str(py::type::of(value).attr("__name__"))));
}

py::object FromEffect(const Effect& effect) {
    return std::visit([](const auto& e) { return py::cast(e); }, effect);
}

namespace {

// An effect made in Python is checked as the library checks it, so a bad value is refused
// where it was written rather than at add().
template <typename E>
E Checked(E effect) {
    RaiseIf(CheckEffect(effect));
    return effect;
}

template <typename E>
void VectorProperty(py::class_<E>& c, const char* name, Vec3 E::*member,
                    Vec3 (*convert)(const py::handle&, const char*) = ToVector3) {
    c.def_property(
        name, [member](const E& e) { return Tuple(e.*member); },
        [member, name, convert](E& e, const py::object& v) { e.*member = convert(v, name); });
}

}  // namespace

std::string Format(const char* format, double a, double b, double c, double d) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b, c, d);
    return text;
}

void RegisterEffects(py::module_& m) {
    py::class_<ConstantForce> constant(m, "ConstantForce",
                                       "The same force (N) whatever the arm does.");
    constant.def(py::init([](const py::object& force) {
                     return Checked(ConstantForce{ToVector3(force, "force")});
                 }),
                 "force"_a = py::make_tuple(0.0, 0.0, 0.0));
    VectorProperty(constant, "force", &ConstantForce::force);
    constant.def("__repr__", [](const ConstantForce& e) {
        return Format("ConstantForce(force=(%g, %g, %g))", e.force[0], e.force[1], e.force[2]);
    });

    py::class_<Spring> spring(m, "Spring",
                              "Pulls towards center: F = -stiffness (x - center) - damping v.");
    spring.def(py::init([](const py::object& center, double stiffness, double damping) {
                   return Checked(Spring{ToVector3(center, "center"), stiffness, damping});
               }),
               "center"_a = py::make_tuple(0.0, 0.0, 0.0), "stiffness"_a = 0.0, "damping"_a = 0.0);
    VectorProperty(spring, "center", &Spring::center);
    spring.def_readwrite("stiffness", &Spring::stiffness);
    spring.def_readwrite("damping", &Spring::damping);
    spring.def("__repr__", [](const Spring& e) {
        return Format("Spring(center=(%g, %g, %g), ", e.center[0], e.center[1], e.center[2]) +
               Format("stiffness=%g, damping=%g)", e.stiffness, e.damping);
    });

    py::class_<Damper> damper(m, "Damper", "Resists motion: F = -damping v.");
    damper.def(py::init([](double damping) { return Checked(Damper{damping}); }),
               "damping"_a = 0.0);
    damper.def_readwrite("damping", &Damper::damping);
    damper.def("__repr__", [](const Damper& e) { return Format("Damper(damping=%g)", e.damping); });

    py::class_<Wall> wall(m, "Wall",
                          "A plane through point; normal points out of the wall. At depth "
                          "d = (x - point)·n < 0 it pushes out with "
                          "F = (-stiffness d - damping (v·n)) n.");
    wall.def(py::init([](const py::object& point, const py::object& normal, double stiffness,
                         double damping) {
                 return Checked(Wall{ToVector3(point, "point"), ToVector3(normal, "normal"),
                                     stiffness, damping});
             }),
             "point"_a = py::make_tuple(0.0, 0.0, 0.0), "normal"_a = py::make_tuple(1.0, 0.0, 0.0),
             "stiffness"_a = 0.0, "damping"_a = 0.0);
    VectorProperty(wall, "point", &Wall::point);
    VectorProperty(wall, "normal", &Wall::normal);
    wall.def_readwrite("stiffness", &Wall::stiffness);
    wall.def_readwrite("damping", &Wall::damping);
    wall.def("__repr__", [](const Wall& e) {
        return Format("Wall(point=(%g, %g, %g), ", e.point[0], e.point[1], e.point[2]) +
               Format("normal=(%g, %g, %g), ", e.normal[0], e.normal[1], e.normal[2]) +
               Format("stiffness=%g, damping=%g)", e.stiffness, e.damping);
    });
}

}  // namespace OrvaneBindings::Haptics
