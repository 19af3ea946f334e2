// Objects whose constructor never ran (made with Cls.__new__(Cls), or a stream passed on
// from one) hold no native object. Every method and constructor that takes one refuses it
// with TypeError instead of reaching into storage that holds nothing.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "Orvane/HardwareAPI/Handle.h"
#include "Orvane/HardwareAPI/SerialStream.h"
#include "Orvane/HardwareAPI/Varnix3.h"

namespace pybind11::detail {

template <class T>
struct initialised_caster : type_caster_base<T> {
    bool load(handle src, bool convert) {
        if (src && isinstance<T>(src)) {
            auto* inst = reinterpret_cast<instance*>(src.ptr());
            if (!inst->get_value_and_holder(get_type_info(typeid(T))).holder_constructed()) {
                throw type_error(std::string(str(type::handle_of(src).attr("__qualname__"))) +
                                 " object is not initialised: its __init__ never ran");
            }
        }
        return type_caster_base<T>::load(src, convert);
    }
};

template <>
struct type_caster<Orvane::HardwareAPI::IO::SerialStream>
    : initialised_caster<Orvane::HardwareAPI::IO::SerialStream> {};
template <>
struct type_caster<Orvane::HardwareAPI::Devices::Varnix3>
    : initialised_caster<Orvane::HardwareAPI::Devices::Varnix3> {};
template <>
struct type_caster<Orvane::HardwareAPI::Devices::Handle>
    : initialised_caster<Orvane::HardwareAPI::Devices::Handle> {};

}  // namespace pybind11::detail
