// Three-number vectors (forces, points, directions): any sequence of three numbers but text
// and raw bytes (str, bytes, bytearray, memoryview: b"abc" is not the force (97, 98, 99)),
// a NumPy array of shape (3,) among them. Anything else is a TypeError naming the argument.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <string>

namespace Orvane::HardwareAPI::Python {

namespace py = pybind11;

inline bool IsTextOrBytes(PyObject* value) {
    return PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value) ||
           PyMemoryView_Check(value);
}

inline std::array<double, 3> ToVector3(const py::handle& value, const char* what) {
    const std::string refusal = std::string(what) + " must be a sequence of three numbers";
    PyObject* sequence = value.ptr();
    if (sequence == nullptr || !PySequence_Check(sequence) || IsTextOrBytes(sequence)) {
        throw py::type_error(refusal);
    }
    const Py_ssize_t size = PySequence_Size(sequence);
    if (size < 0) {
        throw py::error_already_set();
    }
    if (size != 3) {
        throw py::type_error(refusal);
    }
    std::array<double, 3> out{};
    for (Py_ssize_t i = 0; i < 3; ++i) {
        const auto item = py::reinterpret_steal<py::object>(PySequence_GetItem(sequence, i));
        if (!item) {
            throw py::error_already_set();
        }
        // A nested sequence (a row of a (3, 1) array, a list) is not a number, even where
        // it would convert to one.
        if (PySequence_Check(item.ptr()) || !PyNumber_Check(item.ptr())) {
            throw py::type_error(refusal);
        }
        out[static_cast<std::size_t>(i)] = PyFloat_AsDouble(item.ptr());
        if (PyErr_Occurred()) {
            throw py::error_already_set();
        }
    }
    return out;
}

// A vector as Python gets it back: a tuple of three floats.
inline py::tuple Tuple(const std::array<double, 3>& v) {
    return py::make_tuple(v[0], v[1], v[2]);
}

// One number (a parameter given as a Python object, for instance one that may be None).
inline double ToNumber(const py::handle& value, const char* what) {
    if (!PyNumber_Check(value.ptr()) || PySequence_Check(value.ptr())) {
        throw py::type_error(std::string(what) + " must be a number");
    }
    const double out = PyFloat_AsDouble(value.ptr());
    if (PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return out;
}

}  // namespace Orvane::HardwareAPI::Python
