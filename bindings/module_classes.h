// The module's classes, each refusing an instance whose __init__ never ran (TypeError).
#pragma once

#include "Orvane/HardwareAPI/Device.h"
#include "Orvane/HardwareAPI/Handle.h"
#include "Orvane/HardwareAPI/SerialStream.h"
#include "Orvane/HardwareAPI/UUID.h"
#include "Orvane/HardwareAPI/Varnix3.h"
#include "initialised.h"

namespace pybind11::detail {

template <>
struct type_caster<Orvane::HardwareAPI::IO::SerialStream>
    : initialised_caster<Orvane::HardwareAPI::IO::SerialStream> {};
template <>
struct type_caster<Orvane::HardwareAPI::UUID> : initialised_caster<Orvane::HardwareAPI::UUID> {};
template <>
struct type_caster<Orvane::HardwareAPI::Devices::Device>
    : initialised_caster<Orvane::HardwareAPI::Devices::Device> {};
template <>
struct type_caster<Orvane::HardwareAPI::Devices::Varnix3>
    : initialised_caster<Orvane::HardwareAPI::Devices::Varnix3> {};
template <>
struct type_caster<Orvane::HardwareAPI::Devices::Handle>
    : initialised_caster<Orvane::HardwareAPI::Devices::Handle> {};

}  // namespace pybind11::detail
