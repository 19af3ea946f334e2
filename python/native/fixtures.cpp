// orvane.haptics' guidance fixtures and forbidden regions: plain values like the effects,
// checked in C++ when they are made or changed (ValueError), rendered by the servo loop.
#include <pybind11/pybind11.h>

#include <cstdio>
#include <string>

#include "Orvane/HardwareAPI/Fixtures.h"
#include "effect_casters.h"
#include "haptics.h"
#include "vector3.h"

namespace OrvaneBindings::Haptics {
namespace {

namespace py = pybind11;
using namespace py::literals;
using namespace Orvane::HardwareAPI::Haptics;
using Orvane::HardwareAPI::Python::ToVector3;
using Orvane::HardwareAPI::Python::Tuple;

template <typename F>
F Checked(const F& fixture) {
    RaiseIf(CheckEffect(Effect{fixture}));
    return fixture;
}

// A vector parameter, checked with the whole fixture on every change.
template <typename F>
void VectorParameter(py::class_<F>& c, const char* name, Vec3 F::*member) {
    c.def_property(
        name, [member](const F& f) { return Tuple(f.*member); },
        [member, name](F& f, const py::object& value) {
            F changed = f;
            changed.*member = ToVector3(value, name);
            f = Checked(changed);
        });
}

template <typename F, typename T>
void Parameter(py::class_<F>& c, const char* name, T F::*member) {
    c.def_property(
        name, [member](const F& f) { return f.*member; },
        [member](F& f, T value) {
            F changed = f;
            changed.*member = value;
            f = Checked(changed);
        });
}

std::string Text(const char* format, const Vec3& a) {
    char text[120];
    std::snprintf(text, sizeof text, format, a[0], a[1], a[2]);
    return text;
}

std::string Gains(double stiffness, double damping) {
    char text[80];
    std::snprintf(text, sizeof text, "stiffness=%g, damping=%g", stiffness, damping);
    return text;
}

}  // namespace

void RegisterFixtures(py::module_& m) {
    const auto zero = py::make_tuple(0.0, 0.0, 0.0);

    py::class_<PlaneGuide> plane(
        m, "PlaneGuide",
        "Pulls towards the plane through point with normal n from either side: "
        "F = (-stiffness d - damping (v·n)) n with d = (x - point)·n; motion within the "
        "plane is free.");
    plane.def(py::init([](const py::object& point, const py::object& normal, double stiffness,
                          double damping) {
                  return Checked(PlaneGuide{ToVector3(point, "point"), ToVector3(normal, "normal"),
                                            stiffness, damping});
              }),
              "point"_a = zero, "normal"_a = py::make_tuple(0.0, 0.0, 1.0), "stiffness"_a = 0.0,
              "damping"_a = 0.0);
    VectorParameter(plane, "point", &PlaneGuide::point);
    VectorParameter(plane, "normal", &PlaneGuide::normal);
    Parameter(plane, "stiffness", &PlaneGuide::stiffness);
    Parameter(plane, "damping", &PlaneGuide::damping);
    plane.def("__repr__", [](const PlaneGuide& f) {
        return Text("PlaneGuide(point=(%g, %g, %g), ", f.point) +
               Text("normal=(%g, %g, %g), ", f.normal) + Gains(f.stiffness, f.damping) + ")";
    });

    py::class_<LineGuide> line(
        m, "LineGuide",
        "Pulls towards the line through point along direction: a spring and a damper on the "
        "offset and the velocity across the line; motion along it is free.");
    line.def(py::init([](const py::object& point, const py::object& direction, double stiffness,
                         double damping) {
                 return Checked(LineGuide{ToVector3(point, "point"),
                                          ToVector3(direction, "direction"), stiffness, damping});
             }),
             "point"_a = zero, "direction"_a = py::make_tuple(1.0, 0.0, 0.0), "stiffness"_a = 0.0,
             "damping"_a = 0.0);
    VectorParameter(line, "point", &LineGuide::point);
    VectorParameter(line, "direction", &LineGuide::direction);
    Parameter(line, "stiffness", &LineGuide::stiffness);
    Parameter(line, "damping", &LineGuide::damping);
    line.def("__repr__", [](const LineGuide& f) {
        return Text("LineGuide(point=(%g, %g, %g), ", f.point) +
               Text("direction=(%g, %g, %g), ", f.direction) + Gains(f.stiffness, f.damping) + ")";
    });

    py::class_<Sphere> sphere(
        m, "Sphere",
        "A ball the arm may not enter (inside=False) or may not leave (inside=True): past its "
        "surface by p it pushes back along the normal n with stiffness p - damping (v·n), "
        "never pulling.");
    sphere.def(
        py::init([](const py::object& center, double radius, double stiffness, double damping,
                    bool inside) {
            return Checked(Sphere{ToVector3(center, "center"), radius, stiffness, damping, inside});
        }),
        "center"_a, "radius"_a, "stiffness"_a = 0.0, "damping"_a = 0.0, "inside"_a = false);
    VectorParameter(sphere, "center", &Sphere::center);
    Parameter(sphere, "radius", &Sphere::radius);
    Parameter(sphere, "stiffness", &Sphere::stiffness);
    Parameter(sphere, "damping", &Sphere::damping);
    Parameter(sphere, "inside", &Sphere::inside);
    sphere.def("__repr__", [](const Sphere& f) {
        char radius[40];
        std::snprintf(radius, sizeof radius, "radius=%g, ", f.radius);
        return Text("Sphere(center=(%g, %g, %g), ", f.center) + radius +
               Gains(f.stiffness, f.damping) + (f.inside ? ", inside=True)" : ", inside=False)");
    });

    py::class_<Box> box(
        m, "Box",
        "An axis-aligned box the arm may not enter (inside=False: pushed out through the "
        "nearest face) or may not leave (inside=True: each axis past a face pushed back).");
    box.def(py::init([](const py::object& minimum, const py::object& maximum, double stiffness,
                        double damping, bool inside) {
                return Checked(Box{ToVector3(minimum, "minimum"), ToVector3(maximum, "maximum"),
                                   stiffness, damping, inside});
            }),
            "minimum"_a, "maximum"_a, "stiffness"_a = 0.0, "damping"_a = 0.0, "inside"_a = false);
    VectorParameter(box, "minimum", &Box::minimum);
    VectorParameter(box, "maximum", &Box::maximum);
    Parameter(box, "stiffness", &Box::stiffness);
    Parameter(box, "damping", &Box::damping);
    Parameter(box, "inside", &Box::inside);
    box.def("__repr__", [](const Box& f) {
        return Text("Box(minimum=(%g, %g, %g), ", f.minimum) +
               Text("maximum=(%g, %g, %g), ", f.maximum) + Gains(f.stiffness, f.damping) +
               (f.inside ? ", inside=True)" : ", inside=False)");
    });
}

}  // namespace OrvaneBindings::Haptics
