// Three-number vectors (forces, points, directions): any sequence of three numbers but text
// and raw bytes (str, bytes, bytearray, memoryview: b"abc" is not the force (97, 98, 99)),
// a NumPy array of shape (3,) among them. Anything else is a TypeError naming the argument,
// bools and complex values among them; a number beyond a double's range is a ValueError.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstring>
#include <string>

namespace Orvane::HardwareAPI::Python {

namespace py = pybind11;

inline bool IsTextOrBytes(PyObject* value) {
    return PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value) ||
           PyMemoryView_Check(value);
}

// Why a value is not a real number the loop can take, or nullptr when it is one: a bool (a
// Python or a NumPy one) is no number here, and a complex value (a Python or a NumPy one)
// would lose its imaginary part.
inline const char* NotReal(PyObject* value) {
    if (PyFloat_CheckExact(value) || PyLong_CheckExact(value)) {
        return nullptr;
    }
    const char* type = Py_TYPE(value)->tp_name;
    if (PyBool_Check(value) || std::strcmp(type, "numpy.bool_") == 0 ||
        std::strcmp(type, "numpy.bool") == 0) {
        return "a bool";
    }
    if (PyComplex_Check(value)) {
        return "a complex number";
    }
    if (!PyNumber_Check(value) || PySequence_Check(value)) {
        return "not a number";
    }
    // NumPy's complex scalars register as numbers.Complex, its real ones as numbers.Real.
    const py::module_ numbers = py::module_::import("numbers");
    if (py::isinstance(value, numbers.attr("Complex")) &&
        !py::isinstance(value, numbers.attr("Real"))) {
        return "a complex number";
    }
    return nullptr;
}

// The value as a double; a number too large for one (an int beyond 1.8e308) is a
// ValueError naming `what`, not an OverflowError.
inline double AsDouble(PyObject* value, const std::string& what) {
    const double out = PyFloat_AsDouble(value);
    if (out == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            throw py::value_error(what + " is too large for a floating-point number");
        }
        throw py::error_already_set();
    }
    return out;
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
        if (const char* why = NotReal(item.ptr())) {
            throw py::type_error(refusal + " (component " + std::to_string(i) + " is " + why + ")");
        }
        out[static_cast<std::size_t>(i)] =
            AsDouble(item.ptr(), std::string(what) + "[" + std::to_string(i) + "]");
    }
    return out;
}

// A vector as Python gets it back: a tuple of three floats.
inline py::tuple Tuple(const std::array<double, 3>& v) {
    return py::make_tuple(v[0], v[1], v[2]);
}

// One number (a parameter given as a Python object, for instance one that may be None).
inline double ToNumber(const py::handle& value, const char* what) {
    if (const char* why = NotReal(value.ptr())) {
        throw py::type_error(std::string(what) + " must be a number, not " +
                             (std::strcmp(why, "not a number") == 0
                                  ? std::string(py::str(py::type::of(value).attr("__name__")))
                                  : std::string(why)));
    }
    return AsDouble(value.ptr(), what);
}

}  // namespace Orvane::HardwareAPI::Python
