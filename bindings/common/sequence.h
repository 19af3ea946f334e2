// List arguments of the module: a list, tuple, array.array, NumPy array or any other
// sequence except str and bytes, item by item. A set, a dict or a generator is refused
// (TypeError) before any I/O: a set's order is arbitrary, and a generator is consumed by the
// attempt. The same conversion under every pybind11 series, and the same docstring rendering.
// (The three-number vectors of orvane.haptics are stricter: see vector3.h.)
#pragma once

#include <pybind11/pybind11.h>

#include <type_traits>
#include <utility>
#include <vector>

namespace Orvane::HardwareAPI::Python {

template <class T>
struct Sequence : std::vector<T> {
    using std::vector<T>::vector;
};

}  // namespace Orvane::HardwareAPI::Python

namespace pybind11::detail {

template <class T>
struct type_caster<Orvane::HardwareAPI::Python::Sequence<T>> {
    using Value = Orvane::HardwareAPI::Python::Sequence<T>;
    PYBIND11_TYPE_CASTER(Value,
                         const_name<std::is_floating_point_v<T>>("list[float]", "list[int]"));

    bool load(handle src, bool convert) {
        PyObject* sequence = src.ptr();
        if (sequence == nullptr || !PySequence_Check(sequence) || PyUnicode_Check(sequence) ||
            PyBytes_Check(sequence)) {
            return false;
        }
        const Py_ssize_t size = PySequence_Size(sequence);
        if (size < 0) {
            PyErr_Clear();
            return false;
        }
        value.clear();
        value.reserve(static_cast<std::size_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            const auto item = reinterpret_steal<object>(PySequence_GetItem(sequence, i));
            make_caster<T> item_caster;
            if (!item || !item_caster.load(item, convert)) {
                PyErr_Clear();
                return false;
            }
            value.push_back(cast_op<T&&>(std::move(item_caster)));
        }
        return true;
    }

    static handle cast(const Value& values, return_value_policy /*policy*/, handle /*parent*/) {
        list out(values.size());
        for (std::size_t i = 0; i < values.size(); ++i) {
            out[i] = pybind11::cast(values[i]);
        }
        return out.release();
    }
};

}  // namespace pybind11::detail
