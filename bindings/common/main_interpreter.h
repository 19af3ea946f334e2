// Both extensions keep process-wide state (open ports, loop threads, signal guards) and hand
// Python objects to native threads: they work in the main interpreter only. Imported in a
// subinterpreter, the module's entry point raises ImportError before any of its machinery
// runs (which would otherwise wait forever on a thread state that interpreter cannot give).
//
// Use: rename the entry point pybind11 defines, then define the real one after the body,
// which checks and then calls it:
//   #define PyInit_name OrvanePybindInit_name
//   PYBIND11_MODULE(name, m) { ... }
//   #undef PyInit_name
//   ORVANE_MAIN_INTERPRETER_ENTRY(name)
#pragma once

#include <Python.h>

namespace Orvane::HardwareAPI::Python {

inline bool OnMainInterpreter() {
    return PyInterpreterState_Get() == PyInterpreterState_Main();
}

inline PyObject* RefuseSubinterpreter(const char* module) {
    PyErr_Format(PyExc_ImportError,
                 "%s works in the main interpreter only, not in a subinterpreter", module);
    return nullptr;
}

}  // namespace Orvane::HardwareAPI::Python

#define ORVANE_PYBIND_ENTRY(name) PYBIND11_CONCAT(OrvanePybindInit_, name)

#define ORVANE_MAIN_INTERPRETER_ENTRY(name)                                    \
    extern "C" PYBIND11_EXPORT PyObject* PYBIND11_CONCAT(PyInit_, name)() {    \
        if (!::Orvane::HardwareAPI::Python::OnMainInterpreter()) {             \
            return ::Orvane::HardwareAPI::Python::RefuseSubinterpreter(#name); \
        }                                                                      \
        return ORVANE_PYBIND_ENTRY(name)();                                    \
    }
