// The effects and fixtures refuse instances whose __init__ never ran; every file that
// converts them sees the same casters.
#pragma once

#include "Orvane/HardwareAPI/Effects.h"
#include "initialised.h"

namespace pybind11::detail {
namespace H = Orvane::HardwareAPI::Haptics;
template <>
struct type_caster<H::ConstantForce> : initialised_caster<H::ConstantForce> {};
template <>
struct type_caster<H::Spring> : initialised_caster<H::Spring> {};
template <>
struct type_caster<H::Damper> : initialised_caster<H::Damper> {};
template <>
struct type_caster<H::Wall> : initialised_caster<H::Wall> {};
template <>
struct type_caster<H::PlaneGuide> : initialised_caster<H::PlaneGuide> {};
template <>
struct type_caster<H::LineGuide> : initialised_caster<H::LineGuide> {};
template <>
struct type_caster<H::Sphere> : initialised_caster<H::Sphere> {};
template <>
struct type_caster<H::Box> : initialised_caster<H::Box> {};
}  // namespace pybind11::detail
