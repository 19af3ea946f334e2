// Objects whose constructor never ran (made with Cls.__new__(Cls)) hold no native object:
// pybind11 would hand a method fresh, unset storage. Every class of both extensions takes
// its instances through this caster, which refuses such an object with TypeError before
// any method, property or constructor reaches into it.
//
// A class opts in with a specialisation declared before its first use:
//   template <> struct pybind11::detail::type_caster<T> : initialised_caster<T> {};
#pragma once

#include <pybind11/pybind11.h>

#include <string>

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

}  // namespace pybind11::detail
